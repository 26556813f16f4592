// Texts the module shows to Python callers. Callers match on them, so every one is required
// exactly as written, including those that look like mistakes: the conversion targets 'PyString'
// and 'PyBool', the "PyO3" and "pyo3_runtime" names, the resumed-panic banner and the
// subinterpreter message with its link. Do not correct, reword or reformat them. (Docstrings are
// fixed the same way; they stay beside the slots of their classes.)
#pragma once

namespace velm::py::fixed_text {

// Conversion failures: "argument 'NAME': 'T' object cannot be converted to 'PyString'".
inline constexpr const char* kStrTarget = "PyString";
inline constexpr const char* kBoolTarget = "PyBool";
inline constexpr const char* kTypeNameUnknown = "<failed to extract type name>";

// Borrow refusals.
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";

// Classes and attributes.
inline constexpr const char* kNoConstructor = "No constructor defined for %s";  // PyErr_Format
inline constexpr const char* kCannotDelete = "can't delete attribute";
inline constexpr const char* kClassInitFailed = "An error occurred while initializing class ";  // + name

// Fatal errors.
inline constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
inline constexpr const char* kPanicTypeDoc =
    "The exception raised when native code meets a fatal error.\n\n"
    "Like SystemExit, it derives from BaseException, so `except Exception` does not catch it.";
inline constexpr const char* kResumingPanic =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
inline constexpr const char* kUnknownPanic = "unknown panic";
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";

// Module initialisation in a second interpreter.
inline constexpr const char* kSubinterpreters =
    "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576";

}  // namespace velm::py::fixed_text
