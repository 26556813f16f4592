#include "verify_module/py_reader.h"

#include <cstring>
#include <memory>

#include "binding/args.h"
#include "binding/errors.h"
#include "binding/py_ref.h"

using velm::py::Ref;

void ReadErrors::fetch() {
  if (type_) return;  // the first one counts
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  type_ = Ref::steal(type);
  value_ = Ref::steal(value);
  traceback_ = Ref::steal(traceback);
}

void ReadErrors::restore_if_any() {
  if (!type_) return;
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  throw velm::py::PythonError{};
}

namespace {

// Takes the interpreter lock for its lifetime, from a thread that released it.
class HeldLock {
 public:
  HeldLock() : state_(PyGILState_Ensure()) {}
  ~HeldLock() { PyGILState_Release(state_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  PyGILState_STATE state_;
};

// One read(size) call; copies the bytes into `buffer`. Throws IoError after keeping the cause.
std::size_t read_into(PyObject* file, const std::string& name, char* buffer, std::size_t size, ReadErrors& errors) {
  HeldLock lock;
  Ref data = Ref::steal(PyObject_CallMethod(file, "read", "n", static_cast<Py_ssize_t>(size)));
  const char* bytes = nullptr;
  Py_ssize_t got = 0;
  if (data && PyBytes_Check(data.get())) {
    bytes = PyBytes_AsString(data.get());
    got = PyBytes_Size(data.get());
  } else if (data && PyByteArray_Check(data.get())) {
    bytes = PyByteArray_AsString(data.get());
    got = PyByteArray_Size(data.get());
  } else if (data) {
    PyErr_Format(PyExc_TypeError, "read() of a log must return bytes, not '%s': open it in binary mode ('rb')",
                 velm::py::type_name_of(data.get()).c_str());
  }
  if (bytes != nullptr && static_cast<std::size_t>(got) > size) {
    PyErr_SetString(PyExc_ValueError, "read() of a log returned more bytes than asked for");
    bytes = nullptr;
  }
  if (bytes == nullptr) {
    errors.fetch();
    throw velm::verify::IoError("cannot read '" + name + "'");
  }
  std::memcpy(buffer, bytes, static_cast<std::size_t>(got));
  return static_cast<std::size_t>(got);
}

}  // namespace

velm::verify::LogPiece python_file_piece(const std::string& name, PyObject* file, ReadErrors& errors) {
  return {name, [name, file, &errors](std::size_t max_line_bytes) {
            return std::make_unique<velm::verify::LineSource>(
                [name, file, &errors](char* buffer, std::size_t size) {
                  return read_into(file, name, buffer, size, errors);
                },
                max_line_bytes);
          }};
}

std::string bytes_text(PyObject* obj, const char* what) {
  if (!PyBytes_Check(obj)) velm::py::raise(PyExc_TypeError, std::string(what) + " must be bytes");
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) throw velm::py::PythonError{};
  return std::string(data, static_cast<std::size_t>(size));
}

// Each input is (name: bytes, source): source is a path as bytes, or a binary file object, which
// must stay alive (the list holds it) until the verifier is done.
std::vector<velm::verify::LogPiece> parse_inputs(PyObject* obj, ReadErrors& read_errors) {
  if (!PyList_Check(obj)) velm::py::raise(PyExc_TypeError, "inputs must be a list");
  std::vector<velm::verify::LogPiece> pieces;
  const Py_ssize_t n = PyList_Size(obj);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(obj, i);  // borrowed; the list is not changed meanwhile
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) velm::py::raise(PyExc_TypeError, "each input must be a pair");
    const std::string name = bytes_text(PyTuple_GetItem(item, 0), "an input's name");
    PyObject* source = PyTuple_GetItem(item, 1);
    pieces.push_back(PyBytes_Check(source) ? velm::verify::file_piece(bytes_text(source, "a path"))
                                           : python_file_piece(name, source, read_errors));
    pieces.back().name = name;  // a file read by path may be named otherwise (a file:// URL)
  }
  return pieces;
}
