// Lines of a log read from a Python binary file object, by calling its read() with the
// interpreter lock taken for each call (the verifier runs with the lock released).
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "binding/py_ref.h"
#include "verifier/run/parallel_verify.h"

// The first exception a file object's read() raised (or a wrong result it gave), kept while the
// lock is released and set again once the verifier is done.
class ReadErrors {
 public:
  ReadErrors() = default;
  ReadErrors(const ReadErrors&) = delete;
  ReadErrors& operator=(const ReadErrors&) = delete;

  void fetch();           // with the lock held and an exception set
  void restore_if_any();  // with the lock held; throws PythonError when one was kept

 private:
  velm::py::Ref type_, value_, traceback_;
};

// `file` must stay alive until the verifier is done with the piece.
velm::verify::LogPiece python_file_piece(const std::string& name, PyObject* file, ReadErrors& errors);

// The bytes of a bytes object; TypeError naming `what` for anything else.
std::string bytes_text(PyObject* obj, const char* what);

// Each input is (name: bytes, source): source is a path as bytes, or a binary file object, which
// must stay alive (the list holds it) until the verifier is done.
std::vector<velm::verify::LogPiece> parse_inputs(PyObject* obj, ReadErrors& read_errors);
