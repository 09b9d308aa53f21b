#include "types.hpp"

#include "globals.hpp"

PyTypeObject* make_heap_type(PyType_Spec* spec) noexcept
{
    PyObject* type = PyType_FromSpec(spec);
    if (!type && !PyErr_Occurred())
        PyErr_NoMemory();
    return (PyTypeObject*)type;
}

void free_heap_instance(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyObject** str_field_at(PyObject* self, const StrField& field) noexcept
{
    return (PyObject**)((char*)self + field.offset);
}

PyObject* get_str_field(PyObject* self, void* closure) noexcept
{
    return Py_NewRef(*str_field_at(self, *(const StrField*)closure));
}

int set_str_field(PyObject* self, PyObject* value, void* closure) noexcept
{
    const StrField& field = *(const StrField*)closure;
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", field.attribute);
        return -1;
    }
    Py_XSETREF(*str_field_at(self, field), Py_NewRef(value));
    return 0;
}

int require_exact_type(PyObject* value, PyTypeObject* type, const char* parameter) noexcept
{
    if (Py_IS_TYPE(value, type))
        return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", parameter,
                 type->tp_name, Py_TYPE(value)->tp_name);
    if (!PyObject_TypeCheck(value, type))
        return -1;
    // The error is raised again with its note; a failure to add the note is raised instead.
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "Subclasses of built-in types are refused here: the annotation '%.200s' is read more strictly than "
        "PEP 484 asks, so pass an exact %.200s.",
        type->tp_name, type->tp_name));
    Ref added = note ? Ref::steal(PyObject_CallMethodOneArg(exc.get(), names.add_note, note.get())) : Ref();
    if (added)
        PyErr_SetRaisedException(exc.release());
    return -1;
}
