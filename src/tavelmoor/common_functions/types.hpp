#pragma once

#include "ref.hpp"

// PyType_FromSpec, except that it never fails without an exception set: the
// host can lose the MemoryError of a failed allocation while making a type.
PyTypeObject* make_heap_type(PyType_Spec* spec) noexcept;

// The last step of a dealloc of a heap type's instance: frees the memory and
// drops the reference that every instance holds to its type.
void free_heap_instance(PyObject* self) noexcept;

// An attribute that holds a str in a field of the instance, such as __name__:
// a PyGetSetDef with get_str_field and set_str_field, and its StrField as closure.
// set_str_field also fills a field that is still NULL.
struct StrField {
    size_t offset;
    const char* attribute;
};
PyObject* get_str_field(PyObject* self, void* closure) noexcept;
int set_str_field(PyObject* self, PyObject* value, void* closure) noexcept;

// The test of a parameter annotated with a built-in type: anything but an
// exact instance of `type` raises TypeError, with a note for subclasses.
// Returns 0, or -1 with the error set.
int require_exact_type(PyObject* value, PyTypeObject* type, const char* parameter) noexcept;
