#include "traceback.hpp"

#include <cstdint>

#include <frameobject.h>

#include "globals.hpp"

// The code object of each entry, by function name and line. Code objects are
// immutable and cost more to make than the rest of an entry, so each is made
// once, at the first failure that needs it, and kept for the life of the
// process. Names are compared by address: every caller passes a string with
// static storage, so one place always finds its own slot.
struct EntryCode {
    const char* function_name;
    int line;
    PyObject* code;
};
static constexpr size_t entry_code_slots = 128;  // a power of two, well above the module's entry places
static EntryCode entry_codes[entry_code_slots];

static Ref make_entry_code(const char* function_name, int line) noexcept
{
    return Ref::steal((PyObject*)PyCode_NewEmpty(source_filename, function_name, line));
}

static Ref entry_code(const char* function_name, int line) noexcept
{
    const size_t hash = ((uintptr_t)function_name >> 3) ^ ((size_t)line * 0x9E3779B1u);
    for (size_t probe = 0; probe < entry_code_slots; ++probe) {
        EntryCode& slot = entry_codes[(hash + probe) & (entry_code_slots - 1)];
        if (slot.code && slot.function_name == function_name && slot.line == line)
            return Ref::borrow(slot.code);
        if (!slot.code) {
            Ref code = make_entry_code(function_name, line);
            if (code)
                slot = {function_name, line, Py_NewRef(code.get())};
            return code;
        }
    }
    // Only reachable if the table were too small: stay correct, uncached.
    return make_entry_code(function_name, line);
}

static Ref make_frame(const char* function_name, int line) noexcept
{
    PyObject* globals = module_globals();
    if (!globals)
        return Ref();
    Ref code = entry_code(function_name, line);
    if (!code)
        return Ref();
    return Ref::steal((PyObject*)PyFrame_New(PyThreadState_Get(), (PyCodeObject*)code.get(), globals, nullptr));
}

void add_traceback_entry(const char* function_name, int line) noexcept
{
    // The frame is made with no exception set. Whatever fails while the entry
    // is made gives way to the original error, which the guard raises again.
    SavedException saved;
    if (!saved.get())
        return;
    Ref frame = make_frame(function_name, line);
    if (!frame)
        return;
    PyErr_SetRaisedException(Py_NewRef(saved.get()));
    if (PyTraceBack_Here((PyFrameObject*)frame.get()) == 0)
        saved.dismiss();
}

void replace_stop_iteration() noexcept
{
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return;
    Ref stop = Ref::steal(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyException_SetCause(exc.get(), Py_NewRef(stop.get()));
    PyException_SetContext(exc.get(), stop.release());
    PyErr_SetRaisedException(exc.release());
}
