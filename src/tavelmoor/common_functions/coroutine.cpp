#include "coroutine.hpp"

#include <cstddef>
#include <cstring>

#include <frameobject.h>

#include "globals.hpp"
#include "traceback.hpp"
#include "types.hpp"

namespace {

// The states of the interpreter's own coroutines, for a body with one await:
// suspended always means suspended in that await.
enum class State : unsigned char { created, running, suspended, finished };

struct CoroutineObject {
    PyObject_HEAD
    const CoroutineDef* def;
    State state;
    PyObject* args[3];
    PyObject* awaiting;  // the iterator being awaited; set from the first step until the await ends
    PyObject* name;      // NULL until assigned, and then the code's name stands for it
    PyObject* qualname;  // likewise
    PyObject* frame;     // made on the first read of cr_frame
    PyObject* weakreflist;
    bool finalized;      // tp_finalize has run, so the collector's mark is set
};

// What __await__ returns: an iterator over the coroutine, like the interpreter's coroutine_wrapper.
struct WrapperObject {
    PyObject_HEAD
    PyObject* coroutine;
};

}  // namespace

// Heap types, made once: a failed PyType_FromSpec leaves nothing half-built,
// so a failed import can be retried.
static PyTypeObject* CoroutineType;
static PyTypeObject* WrapperType;

// One dead coroutine, kept for the next call: a service makes one per await
// and drops it when the await ends. It holds nothing and is reachable from
// nowhere but here.
static CoroutineObject* spare_coroutine;

static PyObject* str_close;
static PyObject* str_throw;
static PyObject* str_cr_await;
// The getter of cr_await of the interpreter's coroutine type, found once: the
// type is immutable and its instances have no dict, so calling the getter is
// exactly what reading the attribute does.
static const PyGetSetDef* coro_cr_await;
static PyObject* str_module;

static CoroutineObject* as_coroutine(PyObject* self) noexcept
{
    return (CoroutineObject*)self;
}

static PyObject* code_name(CoroutineObject* co) noexcept
{
    return ((PyCodeObject*)co->def->function->code_object)->co_name;
}

static PyObject* qualname_of(CoroutineObject* co) noexcept
{
    return co->qualname ? co->qualname : code_name(co);
}

static bool is_our_coroutine(PyObject* o) noexcept
{
    return Py_IS_TYPE(o, CoroutineType);
}

// What an await takes directly: a coroutine, or a generator marked as an iterable coroutine.
static bool is_coroutine(PyObject* o) noexcept
{
    if (PyCoro_CheckExact(o) || is_our_coroutine(o))
        return true;
    if (!PyGen_CheckExact(o))
        return false;
    Ref code = Ref::steal((PyObject*)PyGen_GetCode((PyGenObject*)o));
    return ((PyCodeObject*)code.get())->co_flags & CO_ITERABLE_COROUTINE;
}

static void raise_already_executing() noexcept
{
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
}

static void raise_being_awaited() noexcept
{
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
}

// Drops what the body holds. The state goes first, so that code run by the
// releases finds a finished coroutine.
static void release_body(CoroutineObject* co) noexcept
{
    co->state = State::finished;
    for (PyObject*& arg : co->args)
        Py_CLEAR(arg);
    Py_CLEAR(co->awaiting);
    Py_CLEAR(co->frame);
}

static void release_body_keeping_error(CoroutineObject* co) noexcept
{
    SavedException saved;
    release_body(co);
}

// The exception being raised leaves the body at `line`, which finishes the coroutine.
static PySendResult fail(CoroutineObject* co, int line, bool guard_stop_iteration) noexcept
{
    co->state = State::finished;
    // The entry belongs on the exception that leaves the body: the RuntimeError.
    if (guard_stop_iteration)
        replace_stop_iteration();
    if (line)
        add_traceback_entry(co->def->function->name, line);
    release_body_keeping_error(co);
    return PYGEN_ERROR;
}

static PySendResult run_finish(CoroutineObject* co, PyObject* awaited_value, PyObject** result) noexcept
{
    co->state = State::running;
    int line = 0;
    PyObject* value = co->def->finish(co->args, awaited_value, &line);
    if (!value)
        return fail(co, line, true);
    release_body(co);
    *result = value;
    return PYGEN_RETURN;
}

// The exception being raised arrives at the await: a StopIteration ends the
// await with its value, anything else leaves the body.
static PySendResult raise_in_await(CoroutineObject* co, PyObject** result) noexcept
{
    co->state = State::running;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return fail(co, co->def->await_line, true);
    Ref value;
    {
        Ref stop = Ref::steal(PyErr_GetRaisedException());
        PyObject* carried = ((PyStopIterationObject*)stop.get())->value;
        value = Ref::borrow(carried ? carried : Py_None);
    }
    Py_CLEAR(co->awaiting);
    return run_finish(co, value.get(), result);
}

// Acts on one step of the awaited iterator; `value` is a new reference or NULL.
static PySendResult after_delegation(CoroutineObject* co, PySendResult sent, PyObject* value,
                                     PyObject** result) noexcept
{
    if (sent == PYGEN_NEXT) {
        co->state = State::suspended;
        *result = value;
        return PYGEN_NEXT;
    }
    if (sent == PYGEN_ERROR)
        return raise_in_await(co, result);
    Ref awaited_value = Ref::steal(value);
    co->state = State::running;
    Py_CLEAR(co->awaiting);
    return run_finish(co, awaited_value.get(), result);
}

// The iterator that an await of `o` runs, by the rules of the await expression.
static Ref awaitable_iterator(PyObject* o) noexcept
{
    if (is_coroutine(o)) {
        if (is_our_coroutine(o)) {
            if (as_coroutine(o)->state == State::suspended) {
                raise_being_awaited();
                return Ref();
            }
        } else if (PyCoro_CheckExact(o)) {
            Ref awaited = Ref::steal(coro_cr_await ? coro_cr_await->get(o, coro_cr_await->closure)
                                                   : PyObject_GetAttr(o, str_cr_await));
            if (!awaited)
                return Ref();
            if (awaited.get() != Py_None) {
                raise_being_awaited();
                return Ref();
            }
        }
        return Ref::borrow(o);
    }
    PyTypeObject* type = Py_TYPE(o);
    unaryfunc await_slot = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!await_slot) {
        PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression", type->tp_name);
        return Ref();
    }
    Ref iterator = Ref::steal(await_slot(o));
    if (!iterator)
        return iterator;
    if (is_coroutine(iterator.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return Ref();
    }
    if (!PyIter_Check(iterator.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.200s'",
                     Py_TYPE(iterator.get())->tp_name);
        return Ref();
    }
    return iterator;
}

static bool is_our_wrapper(PyObject* o) noexcept
{
    return Py_IS_TYPE(o, WrapperType);
}

// One step of the awaited iterator. Sending into a coroutine of this type, or
// into its wrapper, recurses in C without passing through the interpreter's
// own recursion check, hence the guard there; every other iterator is sent to
// as PyIter_Send does, through its am_send slot when it has one.
static PySendResult send_down(PyObject* iterator, PyObject* value, PyObject** out) noexcept
{
    PyTypeObject* type = Py_TYPE(iterator);
    if (is_our_coroutine(iterator) || is_our_wrapper(iterator)) {
        *out = nullptr;
        if (Py_EnterRecursiveCall(" while resuming a coroutine"))
            return PYGEN_ERROR;
        PySendResult sent = type->tp_as_async->am_send(iterator, value, out);
        Py_LeaveRecursiveCall();
        return sent;
    }
    if (type->tp_as_async && type->tp_as_async->am_send)
        return type->tp_as_async->am_send(iterator, value, out);
    return PyIter_Send(iterator, value, out);
}

static PySendResult start(CoroutineObject* co, PyObject** result) noexcept
{
    int line = 0;
    Ref awaitable = Ref::steal(co->def->start(co->args, &line));
    if (!awaitable)
        return fail(co, line, true);
    Ref iterator = awaitable_iterator(awaitable.get());
    if (!iterator)
        return fail(co, co->def->await_line, true);
    co->awaiting = Py_NewRef(iterator.get());
    PyObject* value;
    PySendResult sent = send_down(iterator.get(), Py_None, &value);
    return after_delegation(co, sent, value, result);
}

// The one way the body runs on. `value` is what was sent, or NULL when the
// exception being raised is thrown in where the coroutine stands.
static PySendResult resume(CoroutineObject* co, PyObject* value, PyObject** result) noexcept
{
    *result = nullptr;
    switch (co->state) {
    case State::created:
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        co->state = State::running;
        if (!value)
            return fail(co, co->def->function->code.first_line, false);
        return start(co, result);
    case State::running:
        raise_already_executing();
        return PYGEN_ERROR;
    case State::finished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    case State::suspended:
        break;
    }
    if (!value)
        return raise_in_await(co, result);
    co->state = State::running;
    Ref awaiting = Ref::borrow(co->awaiting);
    PyObject* out;
    PySendResult sent = send_down(awaiting.get(), value, &out);
    return after_delegation(co, sent, out, result);
}

// The exception that throw(typ, val, tb) raises, checked and normalised as
// the interpreter's generators do it.
static Ref make_thrown(PyObject* typ, PyObject* val, PyObject* tb) noexcept
{
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return Ref();
    }
    if (PyExceptionClass_Check(typ)) {
        PyObject* type = Py_NewRef(typ);
        PyObject* value = Py_XNewRef(val);
        PyObject* traceback = Py_XNewRef(tb);
        // A class that cannot be instantiated leaves the error of trying in the triple.
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref owned_type = Ref::steal(type);
        Ref owned_traceback = Ref::steal(traceback);
        Ref exc = Ref::steal(value);
        if (owned_traceback && exc)
            PyException_SetTraceback(exc.get(), owned_traceback.get());
        return exc;
    }
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return Ref();
        }
        if (tb)
            PyException_SetTraceback(typ, tb);
        return Ref::borrow(typ);
    }
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return Ref();
}

static PyObject* close_coroutine(CoroutineObject* co) noexcept;

// Closes the awaited object; an error of its close() is raised (-1).
static int close_awaited(PyObject* awaited) noexcept
{
    if (is_our_coroutine(awaited)) {
        if (Py_EnterRecursiveCall(" while closing a coroutine"))
            return -1;
        Ref closed = Ref::steal(close_coroutine(as_coroutine(awaited)));
        Py_LeaveRecursiveCall();
        return closed ? 0 : -1;
    }
    PyObject* close_method;
    if (PyObject_GetOptionalAttr(awaited, str_close, &close_method) < 0)
        PyErr_WriteUnraisable(awaited);
    if (!close_method)
        return 0;
    Ref method = Ref::steal(close_method);
    Ref closed = Ref::steal(PyObject_CallNoArgs(method.get()));
    return closed ? 0 : -1;
}

static PySendResult throw_into(CoroutineObject* co, PyObject* typ, PyObject* val, PyObject* tb,
                               PyObject** result) noexcept;

// How throw() went down to the awaited object.
enum class Thrown { delegated, no_method, failed };

static Thrown throw_down(PyObject* awaited, PyObject* typ, PyObject* val, PyObject* tb, PySendResult* sent,
                         PyObject** value) noexcept
{
    if (is_our_coroutine(awaited)) {
        *value = nullptr;
        *sent = PYGEN_ERROR;
        if (Py_EnterRecursiveCall(" while throwing into a coroutine"))
            return Thrown::delegated;
        *sent = throw_into(as_coroutine(awaited), typ, val, tb, value);
        Py_LeaveRecursiveCall();
        return Thrown::delegated;
    }
    PyObject* throw_method;
    if (PyObject_GetOptionalAttr(awaited, str_throw, &throw_method) < 0)
        return Thrown::failed;
    if (!throw_method)
        return Thrown::no_method;
    Ref method = Ref::steal(throw_method);
    PyObject* args[] = {typ, val, tb};
    size_t nargs = tb ? 3 : val ? 2 : 1;
    Ref exc;
    if (nargs > 1 && (PyGen_CheckExact(awaited) || PyCoro_CheckExact(awaited))) {
        // The interpreter's own generators take the exception as one argument,
        // without the deprecation warning of the three-argument form.
        exc = make_thrown(typ, val, tb);
        if (!exc) {
            *sent = PYGEN_ERROR;
            *value = nullptr;
            return Thrown::delegated;
        }
        args[0] = exc.get();
        nargs = 1;
    }
    *value = PyObject_Vectorcall(method.get(), args, nargs, nullptr);
    *sent = *value ? PYGEN_NEXT : PYGEN_ERROR;
    return Thrown::delegated;
}

// throw() with its arguments (val and tb may be NULL), as the interpreter's coroutines take it.
static PySendResult throw_into(CoroutineObject* co, PyObject* typ, PyObject* val, PyObject* tb,
                               PyObject** result) noexcept
{
    *result = nullptr;
    if (co->state == State::suspended) {
        Ref awaiting = Ref::borrow(co->awaiting);
        co->state = State::running;
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            int closed = close_awaited(awaiting.get());
            co->state = State::suspended;
            if (closed < 0)
                return resume(co, nullptr, result);
        } else {
            PySendResult sent;
            PyObject* value;
            Thrown how = throw_down(awaiting.get(), typ, val, tb, &sent, &value);
            co->state = State::suspended;
            if (how == Thrown::failed)
                return PYGEN_ERROR;
            if (how == Thrown::delegated)
                return after_delegation(co, sent, value, result);
        }
    }
    Ref exc = make_thrown(typ, val, tb);
    if (!exc)
        return PYGEN_ERROR;
    PyErr_SetRaisedException(exc.release());
    return resume(co, nullptr, result);
}

static PyObject* close_coroutine(CoroutineObject* co) noexcept
{
    switch (co->state) {
    case State::created:
        release_body(co);
        Py_RETURN_NONE;
    case State::finished:
        Py_RETURN_NONE;
    case State::running:
        raise_already_executing();
        return nullptr;
    case State::suspended:
        break;
    }
    Ref awaiting = Ref::borrow(co->awaiting);
    co->state = State::running;
    int closed = close_awaited(awaiting.get());
    co->state = State::suspended;
    if (closed == 0) {
        // The body holds no handler, so nothing of it runs after the await: it just ends.
        release_body(co);
        Py_RETURN_NONE;
    }
    PyObject* value;
    PySendResult outcome = resume(co, nullptr, &value);
    if (outcome == PYGEN_NEXT) {
        Ref yielded = Ref::steal(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (outcome == PYGEN_RETURN)
        return value;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// StopIteration(value), built as its constructor builds it (the value as the
// one argument and as `value`) but without the generic type call: every await
// that gives a result makes one.
static Ref new_stop_iteration(PyObject* value) noexcept
{
    PyTypeObject* type = (PyTypeObject*)PyExc_StopIteration;
    Ref args = Ref::steal(PyTuple_New(1));
    if (!args)
        return Ref();
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(value));
    Ref stop = Ref::steal(type->tp_new(type, args.get(), nullptr));
    if (!stop)
        return stop;
    Py_XSETREF(((PyStopIterationObject*)stop.get())->value, Py_NewRef(value));
    return stop;
}

// Raises StopIteration(value) as the running interpreter's own coroutines do.
// Up to 3.13.1 CPython raised it with PyErr_SetObject, which chains the exception
// being handled as its context; from 3.13.2 on (gh-128078) it is raised bare.
// The check reads the runtime version: a wheel built on one patch release runs
// on the others. A new exception cannot be in the handled exception's context
// chain, so there is no cycle to break.
static void raise_stop_iteration(PyObject* value) noexcept
{
    Ref stop = new_stop_iteration(value);
    if (!stop)
        return;
    if (Py_Version < 0x030D0200) {
        PyObject* handled = PyErr_GetHandledException();
        if (handled)
            PyException_SetContext(stop.get(), handled);
    }
    PyErr_SetRaisedException(stop.release());
}

// send() and throw() report the end of the body as StopIteration carrying the result.
static PyObject* as_step_result(PySendResult outcome, PyObject* value, bool none_is_silent) noexcept
{
    if (outcome != PYGEN_RETURN)
        return value;
    Ref result = Ref::steal(value);
    if (value == Py_None) {
        if (!none_is_silent)
            PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    raise_stop_iteration(value);
    return nullptr;
}

static PyObject* send_value(PyObject* coroutine, PyObject* arg) noexcept
{
    PyObject* value;
    PySendResult outcome = resume(as_coroutine(coroutine), arg, &value);
    return as_step_result(outcome, value, false);
}

static PyObject* throw_value(PyObject* coroutine, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at %s %d argument%s, got %zd", nargs < 1 ? "least" : "most",
                     nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    PyObject* value;
    PySendResult outcome = throw_into(as_coroutine(coroutine), args[0], nargs > 1 ? args[1] : nullptr,
                                      nargs > 2 ? args[2] : nullptr, &value);
    return as_step_result(outcome, value, false);
}

static PyObject* coroutine_send(PyObject* self, PyObject* arg) noexcept
{
    return send_value(self, arg);
}

static PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return throw_value(self, args, nargs);
}

static PyObject* coroutine_close(PyObject* self, PyObject*) noexcept
{
    return close_coroutine(as_coroutine(self));
}

static PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** result) noexcept
{
    return resume(as_coroutine(self), arg, result);
}

// One dead wrapper, kept for the next await. Every await makes a wrapper and
// drops it when the await ends, so with the spare most awaits allocate none.
// It holds nothing and is reachable from nowhere but here.
static WrapperObject* spare_wrapper;

static PyObject* new_wrapper(PyObject* coroutine) noexcept
{
    WrapperObject* wrapper = spare_wrapper;
    if (wrapper) {
        spare_wrapper = nullptr;
        PyObject_Init((PyObject*)wrapper, WrapperType);
    } else {
        wrapper = PyObject_GC_New(WrapperObject, WrapperType);
        if (!wrapper)
            return nullptr;
    }
    wrapper->coroutine = Py_NewRef(coroutine);
    PyObject_GC_Track(wrapper);
    return (PyObject*)wrapper;
}

// __await__(), as the interpreter's coroutines have it: a wrapper in every state.
static PyObject* coroutine_await_method(PyObject* self, PyObject*) noexcept
{
    return new_wrapper(self);
}

// The am_await slot serves the await expression, which refuses a coroutine that
// some other await is driving, as the interpreter refuses it for its own
// coroutines: two drivers would interleave their steps on one awaited object.
static PyObject* coroutine_await(PyObject* self) noexcept
{
    if (as_coroutine(self)->state == State::suspended) {
        raise_being_awaited();
        return nullptr;
    }
    return new_wrapper(self);
}

static PyObject* get_await(PyObject* self, void*) noexcept
{
    CoroutineObject* co = as_coroutine(self);
    return Py_NewRef(co->state == State::suspended ? co->awaiting : Py_None);
}

static PyObject* get_running(PyObject* self, void*) noexcept
{
    return PyBool_FromLong(as_coroutine(self)->state == State::running);
}

static PyObject* get_suspended(PyObject* self, void*) noexcept
{
    return PyBool_FromLong(as_coroutine(self)->state == State::suspended);
}

// A frame of the function's code, so that a coroutine reads as unfinished
// (inspect.getcoroutinestate tells CLOSED by a frame of None).
static PyObject* get_frame(PyObject* self, void*) noexcept
{
    CoroutineObject* co = as_coroutine(self);
    PyObject* globals = module_globals();
    if (co->state == State::finished || !globals)
        Py_RETURN_NONE;
    if (!co->frame) {
        PyCodeObject* code = (PyCodeObject*)co->def->function->code_object;
        co->frame = (PyObject*)PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        if (!co->frame)
            return nullptr;
    }
    return Py_NewRef(co->frame);
}

static PyObject* get_code(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_coroutine(self)->def->function->code_object);
}

static StrField name_field = {offsetof(CoroutineObject, name), "__name__"};
static StrField qualname_field = {offsetof(CoroutineObject, qualname), "__qualname__"};

// Most coroutines are never asked their names, so a new one stores none.
static PyObject* get_name_field(PyObject* self, void* closure) noexcept
{
    PyObject* value = *(PyObject**)((char*)self + ((const StrField*)closure)->offset);
    return Py_NewRef(value ? value : code_name(as_coroutine(self)));
}

static PyObject* get_module(PyObject*, void*) noexcept
{
    return Py_NewRef(str_module);
}

static PyObject* coroutine_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<coroutine object %S at %p>", qualname_of(as_coroutine(self)), self);
}

static int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    CoroutineObject* co = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(co->name);
    Py_VISIT(co->qualname);
    for (PyObject* a : co->args)
        Py_VISIT(a);
    Py_VISIT(co->awaiting);
    Py_VISIT(co->frame);
    return 0;
}

static int coroutine_clear(PyObject* self) noexcept
{
    release_body(as_coroutine(self));
    return 0;
}

// Run by the collector or the last release: an unstarted coroutine warns, a
// suspended one is closed, which closes what it awaits.
static void coroutine_finalize(PyObject* self) noexcept
{
    CoroutineObject* co = as_coroutine(self);
    co->finalized = true;
    if (co->state != State::created && co->state != State::suspended)
        return;
    SavedException saved;
    if (co->state == State::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", qualname_of(co)) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        Ref closed = Ref::steal(close_coroutine(co));
        if (!closed)
            PyErr_WriteUnraisable(self);
    }
}

static void destroy_coroutine(PyObject* self) noexcept
{
    CoroutineObject* co = as_coroutine(self);
    if (co->weakreflist)
        PyObject_ClearWeakRefs(self);
    if (co->state == State::created || co->state == State::suspended) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0)
            return;  // resurrected by the finaliser
        PyObject_GC_UnTrack(self);
    }
    // A finished body is released already.
    if (co->state != State::finished)
        release_body(co);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    // One whose finaliser ran keeps the collector's mark of it, which a new
    // coroutine must not have.
    if (spare_coroutine || co->finalized) {
        free_heap_instance(self);
        return;
    }
    spare_coroutine = co;
    Py_DECREF(CoroutineType);
}

// The body can hold another coroutine as an argument, and that one the next:
// the trashcan frees such a chain a stretch at a time, so that its length
// never becomes the depth of the C stack. A finished coroutine has released
// its body already, which spares every completed await the trashcan's cost.
// (From 3.14 on the interpreter does this for every object the collector
// tracks, and the macros are empty.)
static void coroutine_dealloc(PyObject* self) noexcept
{
    PyObject_GC_UnTrack(self);
    if (as_coroutine(self)->state == State::finished) {
        destroy_coroutine(self);
        return;
    }
    Py_TRASHCAN_BEGIN(self, coroutine_dealloc)
    destroy_coroutine(self);
    Py_TRASHCAN_END
}

Ref make_coroutine(const CoroutineDef& def, PyObject* const* args) noexcept
{
    CoroutineObject* co = spare_coroutine;
    if (co) {
        spare_coroutine = nullptr;
        PyObject_Init((PyObject*)co, CoroutineType);
    } else {
        co = PyObject_GC_New(CoroutineObject, CoroutineType);
        if (!co)
            return Ref();
    }
    const int nargs = def.function->code.argcount;
    co->def = &def;
    co->state = State::created;
    for (int i = 0; i < 3; ++i)
        co->args[i] = i < nargs ? Py_NewRef(args[i]) : nullptr;
    co->awaiting = nullptr;
    co->name = nullptr;
    co->qualname = nullptr;
    co->frame = nullptr;
    co->weakreflist = nullptr;
    co->finalized = false;
    PyObject_GC_Track(co);
    return Ref::steal((PyObject*)co);
}

static PyObject* wrapper_coroutine(PyObject* self) noexcept
{
    return ((WrapperObject*)self)->coroutine;
}

static PyObject* wrapper_iternext(PyObject* self) noexcept
{
    PyObject* value;
    PySendResult outcome = resume(as_coroutine(wrapper_coroutine(self)), Py_None, &value);
    return as_step_result(outcome, value, true);
}

static PyObject* wrapper_send(PyObject* self, PyObject* arg) noexcept
{
    return send_value(wrapper_coroutine(self), arg);
}

static PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept
{
    return throw_value(wrapper_coroutine(self), args, nargs);
}

static PyObject* wrapper_close(PyObject* self, PyObject*) noexcept
{
    return close_coroutine(as_coroutine(wrapper_coroutine(self)));
}

static PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** result) noexcept
{
    return resume(as_coroutine(wrapper_coroutine(self)), arg, result);
}

static int wrapper_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(wrapper_coroutine(self));
    return 0;
}

// No trashcan here: a wrapper holds only a coroutine, so every chain through
// wrappers passes through coroutines, whose dealloc breaks it up.
static void wrapper_dealloc(PyObject* self) noexcept
{
    PyObject_GC_UnTrack(self);
    Py_CLEAR(((WrapperObject*)self)->coroutine);
    if (spare_wrapper) {
        free_heap_instance(self);
        return;
    }
    // Dead from here on: the reference to its type goes, as in free_heap_instance.
    spare_wrapper = (WrapperObject*)self;
    Py_DECREF(WrapperType);
}

static PyMethodDef coroutine_methods[] = {
    // Beside the am_await slot, whose wrapper function it replaces in the type's dict.
    {"__await__", coroutine_await_method, METH_NOARGS | METH_COEXIST, nullptr},
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", (PyCFunction)(void (*)())coroutine_throw, METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name_field, set_str_field, nullptr, &name_field},
    {"__qualname__", get_name_field, set_str_field, nullptr, &qualname_field},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", (PyCFunction)(void (*)())wrapper_throw, METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, (void*)coroutine_dealloc},
    {Py_tp_repr, (void*)coroutine_repr},
    {Py_tp_traverse, (void*)coroutine_traverse},
    {Py_tp_clear, (void*)coroutine_clear},
    {Py_tp_finalize, (void*)coroutine_finalize},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_members, coroutine_members},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, (void*)coroutine_await},
    {Py_am_send, (void*)coroutine_am_send},
    {0, nullptr},
};

static PyType_Spec coroutine_spec = {
    "tavelmoor.common_functions.coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

static PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, (void*)wrapper_dealloc},
    {Py_tp_traverse, (void*)wrapper_traverse},
    {Py_tp_iter, (void*)PyObject_SelfIter},
    {Py_tp_iternext, (void*)wrapper_iternext},
    {Py_tp_methods, wrapper_methods},
    {Py_am_send, (void*)wrapper_am_send},
    {0, nullptr},
};

static PyType_Spec wrapper_spec = {
    "tavelmoor.common_functions.coroutine_wrapper",
    sizeof(WrapperObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

static const PyGetSetDef* find_getset(PyTypeObject* type, const char* name) noexcept
{
    for (const PyGetSetDef* def = type->tp_getset; def && def->name; ++def) {
        if (strcmp(def->name, name) == 0 && def->get)
            return def;
    }
    return nullptr;
}

int ready_coroutine_type() noexcept
{
    if (!coro_cr_await)
        coro_cr_await = find_getset(&PyCoro_Type, "cr_await");
    if (intern_into(&str_close, "close") < 0 || intern_into(&str_throw, "throw") < 0 ||
        intern_into(&str_cr_await, "cr_await") < 0 || intern_into(&str_module, module_name) < 0)
        return -1;
    if (!WrapperType)
        WrapperType = make_heap_type(&wrapper_spec);
    if (!WrapperType)
        return -1;
    if (!CoroutineType)
        CoroutineType = make_heap_type(&coroutine_spec);
    return CoroutineType ? 0 : -1;
}
