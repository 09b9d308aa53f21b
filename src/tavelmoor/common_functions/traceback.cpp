#include "traceback.hpp"

#include <frameobject.h>

#include "globals.hpp"

static Ref make_frame(const char* function_name, int line) noexcept
{
    PyObject* globals = module_globals();
    if (!globals)
        return Ref();
    Ref code = Ref::steal((PyObject*)PyCode_NewEmpty(source_filename, function_name, line));
    if (!code)
        return Ref();
    return Ref::steal((PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code.get(), globals, nullptr));
}

void add_traceback_entry(const char* function_name, int line) noexcept
{
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc)
        return;
    Ref frame = make_frame(function_name, line);
    PyErr_SetRaisedException(Py_NewRef(exc));
    if (!frame || PyTraceBack_Here((PyFrameObject*)frame.get()) < 0) {
        // Whatever failed while making the entry gives way to the original error.
        PyErr_SetRaisedException(exc);
        return;
    }
    Py_DECREF(exc);
}

void replace_stop_iteration() noexcept
{
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return;
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, Py_NewRef(stop));
    PyException_SetContext(exc, stop);
    PyErr_SetRaisedException(exc);
}
