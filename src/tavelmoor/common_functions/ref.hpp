#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Owner of one strong reference. Borrowed references stay plain PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        PyObject* old = ptr_;
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (which may be NULL after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes one more reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference back to the caller.
    PyObject* release() noexcept
    {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Sets the exception being raised aside for the life of the guard and raises
// it again when the guard goes, replacing whatever was raised meanwhile: code
// that must run with no exception set, or whose own failure must give way to
// the original one, runs inside such a scope.
class SavedException {
public:
    SavedException() noexcept : exc_(PyErr_GetRaisedException()) {}
    SavedException(const SavedException&) = delete;
    SavedException& operator=(const SavedException&) = delete;
    ~SavedException()
    {
        if (restore_)
            PyErr_SetRaisedException(exc_);
    }

    // The saved exception (borrowed), NULL when none was being raised.
    PyObject* get() const noexcept { return exc_; }

    // Leaves the exception being raised as it is, for a caller that has
    // raised the saved one again by other means.
    void dismiss() noexcept
    {
        Py_XDECREF(exc_);
        exc_ = nullptr;
        restore_ = false;
    }

private:
    PyObject* exc_;
    bool restore_ = true;
};
