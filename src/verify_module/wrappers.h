// The functions of velm_qor_verify._native: each turns its Python arguments into an api::Request,
// runs the API with the interpreter lock released and gives the result as text (the JSON the
// command prints, a checkpoint note, a bundle). The package's Python layer makes objects of it.
#pragma once

#include <Python.h>

PyObject* verify(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* report_html(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* records(PyObject* self, PyObject* args, PyObject* kwargs);  // records.cpp
PyObject* checkpoint(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* prove(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* check_proof(PyObject* self, PyObject* args, PyObject* kwargs);
