// The Python module's native part, timetree._timetree: the library's calls
// for Python code, on CPython's own C API (no binding library), linked to
// the shared libtimetree.so.1, so that the timers a Python program starts
// and those of the C, C++ and Fortran code it calls are one tree.
//
// Timer is the context manager (with timetree.timer("name"):), Timed the
// callable that a decorated function becomes; both stop their timer by
// name whether the block or the call returns or raises, so an exception is
// not a repair. Everything else maps one to one onto the C++ API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "timetree.h"

namespace {

// A name as the library takes it: the text (UTF-8, kept by the str object,
// which the caller holds) and its length; null when name is not a str.
struct Name {
  const char* text = nullptr;
  Py_ssize_t length = 0;
};

bool NameOf(PyObject* name, Name& out) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "a timer's name must be a str, not %.100s",
                 Py_TYPE(name)->tp_name);
    return false;
  }
  out.text = PyUnicode_AsUTF8AndSize(name, &out.length);
  if (out.text == nullptr) return false;
  // The library takes terminated names: a NUL inside would cut it silently.
  if (std::strlen(out.text) != static_cast<size_t>(out.length)) {
    PyErr_SetString(PyExc_ValueError, "a timer's name may not contain a NUL character");
    return false;
  }
  return true;
}

// ---- Timer: the context manager ------------------------------------------

struct TimerObject {
  PyObject_HEAD PyObject* name;  // a str
  Name text;
};

int TimerInit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", nullptr};
  PyObject* name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:timer", const_cast<char**>(keywords), &name)) {
    return -1;
  }
  auto* timer = reinterpret_cast<TimerObject*>(self);
  Name text;
  if (!NameOf(name, text)) return -1;
  Py_INCREF(name);
  Py_XSETREF(timer->name, name);
  timer->text = text;
  return 0;
}

void TimerDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<TimerObject*>(self)->name);
  type->tp_free(self);
  Py_DECREF(type);  // a heap type's instances hold it
}

PyObject* TimerEnter(PyObject* self, PyObject*) {
  auto* timer = reinterpret_cast<TimerObject*>(self);
  if (timer->name == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "timer() was not given a name");
    return nullptr;
  }
  TimeStartTimer(timer->text.text);
  Py_INCREF(self);
  return self;
}

PyObject* TimerExit(PyObject* self, PyObject* const*, Py_ssize_t) {
  auto* timer = reinterpret_cast<TimerObject*>(self);
  if (timer->name != nullptr) TimeStopTimer(timer->text.text);
  Py_RETURN_FALSE;  // an exception goes on
}

PyObject* TimerRepr(PyObject* self) {
  auto* timer = reinterpret_cast<TimerObject*>(self);
  return PyUnicode_FromFormat("timetree.timer(%R)", timer->name != nullptr ? timer->name : Py_None);
}

PyMethodDef g_timerMethods[] = {
    {"__enter__", TimerEnter, METH_NOARGS, "Starts the timer."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(TimerExit)),
     METH_FASTCALL, "Stops the timer, also when the block raised."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_timerSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("timer(name): a context manager that times its block as timer name.")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(TimerInit)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TimerDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(TimerRepr)},
    {Py_tp_methods, g_timerMethods},
    {0, nullptr}};
PyType_Spec g_timerSpec = {"timetree.timer", sizeof(TimerObject), 0, Py_TPFLAGS_DEFAULT,
                           g_timerSlots};

// ---- Timed: a decorated function -----------------------------------------

struct TimedObject {
  PyObject_HEAD PyObject* function;
  PyObject* name;  // a str
  Name text;
  PyObject* dict;  // functools.update_wrapper's attributes
  vectorcallfunc vectorcall;
};

PyObject* TimedCall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* timed = reinterpret_cast<TimedObject*>(self);
  TimeStartWholeName(timed->text.text, static_cast<size_t>(timed->text.length));
  PyObject* result = PyObject_Vectorcall(timed->function, args, nargsf, kwnames);
  TimeStopWholeName(timed->text.text, static_cast<size_t>(timed->text.length));
  return result;
}

PyObject* TimedNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"function", "name", nullptr};
  PyObject* function = nullptr;
  PyObject* name = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OU:Timed", const_cast<char**>(keywords),
                                   &function, &name)) {
    return nullptr;
  }
  if (!PyCallable_Check(function)) {
    PyErr_SetString(PyExc_TypeError, "timed() decorates a callable");
    return nullptr;
  }
  Name text;
  if (!NameOf(name, text)) return nullptr;
  auto* timed = reinterpret_cast<TimedObject*>(type->tp_alloc(type, 0));
  if (timed == nullptr) return nullptr;
  Py_INCREF(function);
  Py_INCREF(name);
  timed->function = function;
  timed->name = name;
  timed->text = text;
  timed->vectorcall = &TimedCall;
  return reinterpret_cast<PyObject*>(timed);
}

int TimedTraverse(PyObject* self, visitproc visit, void* arg) {
  auto* timed = reinterpret_cast<TimedObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(timed->function);
  Py_VISIT(timed->dict);
  return 0;
}

int TimedClear(PyObject* self) {
  auto* timed = reinterpret_cast<TimedObject*>(self);
  Py_CLEAR(timed->function);
  Py_CLEAR(timed->dict);
  return 0;
}

void TimedDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  TimedClear(self);
  Py_XDECREF(reinterpret_cast<TimedObject*>(self)->name);
  type->tp_free(self);
  Py_DECREF(type);
}

// A decorated method is bound as the function would be.
PyObject* TimedGet(PyObject* self, PyObject* instance, PyObject*) {
  if (instance == nullptr || instance == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, instance);
}

PyGetSetDef g_timedGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef g_timedMembers[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(TimedObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(TimedObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot g_timedSlots[] = {
    {Py_tp_doc, const_cast<char*>("A function timed by timetree.timed, under its whole name.")},
    {Py_tp_new, reinterpret_cast<void*>(TimedNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(TimedDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(TimedTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(TimedClear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(TimedGet)},
    {Py_tp_members, g_timedMembers},
    {Py_tp_getset, g_timedGetSet},
    {0, nullptr}};
PyType_Spec g_timedSpec = {"timetree.Timed", sizeof(TimedObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                               Py_TPFLAGS_METHOD_DESCRIPTOR,
                           g_timedSlots};

// ---- The module's functions ----------------------------------------------

PyObject* Start(PyObject*, PyObject* name) {
  Name text;
  if (!NameOf(name, text)) return nullptr;
  TimeStartTimer(text.text);
  Py_RETURN_NONE;
}

PyObject* Stop(PyObject*, PyObject* name) {
  Name text;
  if (!NameOf(name, text)) return nullptr;
  TimeStopTimer(text.text);
  Py_RETURN_NONE;
}

// series(name): TimeSeries.
PyObject* Series(PyObject*, PyObject* name) {
  Name text;
  if (!NameOf(name, text)) return nullptr;
  TimeSeries(text.text);
  Py_RETURN_NONE;
}

PyObject* Clear(PyObject*, PyObject*) {
  TimeClear();
  Py_RETURN_NONE;
}

// An export to path (a str or os.PathLike): True when it was written.
template <bool (*Write)(const char*)>
PyObject* Export(PyObject*, PyObject* path) {
  PyObject* bytes = nullptr;
  if (!PyUnicode_FSConverter(path, &bytes)) return nullptr;
  const bool written = Write(PyBytes_AS_STRING(bytes));
  Py_DECREF(bytes);
  return PyBool_FromLong(written ? 1 : 0);
}

// open_channels(path=None): TimeOpenOStream, which reads the switches.
PyObject* OpenChannels(PyObject*, PyObject* const* args, Py_ssize_t count) {
  if (count > 1) {
    PyErr_SetString(PyExc_TypeError, "open_channels() takes at most one path");
    return nullptr;
  }
  PyObject* bytes = nullptr;
  if (count == 1 && args[0] != Py_None && !PyUnicode_FSConverter(args[0], &bytes)) return nullptr;
  TimeOpenOStream(bytes != nullptr ? PyBytes_AS_STRING(bytes) : nullptr);
  Py_XDECREF(bytes);
  Py_RETURN_NONE;
}

PyObject* CloseChannels(PyObject*, PyObject*) {
  TimeCloseOStream();
  Py_RETURN_NONE;
}

PyObject* Comment(PyObject*, PyObject* text) {
  Name name;
  if (!NameOf(text, name)) return nullptr;
  TimeComment(name.text);
  Py_RETURN_NONE;
}

PyObject* Print(PyObject*, PyObject*) {
  TimePrint();
  Py_RETURN_NONE;
}

PyObject* PrintIndented(PyObject*, PyObject* const* args, Py_ssize_t count) {
  if (count > 1) {
    PyErr_SetString(PyExc_TypeError, "print_indented() takes at most one unit");
    return nullptr;
  }
  const char* unit = nullptr;
  if (count == 1 && args[0] != Py_None) {
    Name text;
    if (!NameOf(args[0], text)) return nullptr;
    unit = text.text;
  }
  TimePrintIndented(unit);
  Py_RETURN_NONE;
}

PyObject* Metadata(PyObject*, PyObject* const* args, Py_ssize_t count) {
  if (count != 2) {
    PyErr_SetString(PyExc_TypeError, "metadata() takes a key and a value");
    return nullptr;
  }
  Name key;
  if (!NameOf(args[0], key)) return nullptr;
  PyObject* value = PyObject_Str(args[1]);
  if (value == nullptr) return nullptr;
  const char* text = PyUnicode_AsUTF8(value);
  if (text != nullptr) TimeSetMetadata(key.text, text);
  Py_DECREF(value);
  if (text == nullptr) return nullptr;
  Py_RETURN_NONE;
}

// timers(): the merged tree as dicts, each with its children. The visitor
// may not call the library, and does not: it only builds Python objects.
struct Building {
  PyObject* top = nullptr;
  std::vector<PyObject*> open;  // the children lists of the path, by depth
  bool failed = false;
};

bool SetItem(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

void VisitTimer(const TimeTimerInfo64& timer, void* context) {
  auto& building = *static_cast<Building*>(context);
  if (building.failed) return;
  PyObject* node = PyDict_New();
  PyObject* children = PyList_New(0);
  bool ok = node != nullptr && children != nullptr &&
            SetItem(node, "name",
                    PyUnicode_DecodeUTF8(timer.name, static_cast<Py_ssize_t>(timer.name_length),
                                         "replace")) &&
            SetItem(node, "count", PyLong_FromLongLong(timer.count)) &&
            SetItem(node, "total_seconds", PyFloat_FromDouble(timer.total_seconds)) &&
            SetItem(node, "self_seconds", PyFloat_FromDouble(timer.self_seconds)) &&
            SetItem(node, "min_interval_seconds", PyFloat_FromDouble(timer.min_interval_seconds)) &&
            SetItem(node, "max_interval_seconds", PyFloat_FromDouble(timer.max_interval_seconds)) &&
            SetItem(node, "running", PyBool_FromLong(timer.running)) &&
            SetItem(node, "stopped_implicitly", PyBool_FromLong(timer.stopped_implicitly)) &&
            SetItem(node, "bytes", PyLong_FromUnsignedLongLong(timer.bytes));
  if (ok) {
    Py_INCREF(children);
    ok = SetItem(node, "children", children);
  }
  const size_t depth = static_cast<size_t>(timer.depth);
  if (ok && depth <= building.open.size()) {
    building.open.resize(depth);
    PyObject* into = depth == 0 ? building.top : building.open[depth - 1];
    ok = PyList_Append(into, node) == 0;
    building.open.push_back(children);
  } else {
    ok = false;
  }
  Py_XDECREF(node);
  Py_XDECREF(children);  // the node holds it
  building.failed = !ok;
}

PyObject* Timers(PyObject*, PyObject*) {
  Building building;
  building.top = PyList_New(0);
  if (building.top == nullptr) return nullptr;
  // No collection while the library holds its timers: a finaliser that it
  // ran could call the library from inside the visit.
  const int collecting = PyGC_Disable();
  TimeForEachTimer64(&VisitTimer, &building);
  if (collecting != 0) PyGC_Enable();
  if (building.failed) {
    Py_DECREF(building.top);
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return nullptr;
  }
  return building.top;
}

// METH_FASTCALL functions, cast as the method table wants them.
template <class Function>
PyCFunction Fast(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_functions[] = {
    {"start", Start, METH_O, "start(name): starts timer name under the current timer."},
    {"stop", Stop, METH_O, "stop(name): stops timer name (see the library's stop rules)."},
    {"clear", Clear, METH_NOARGS, "clear(): deletes every timer of every thread."},
    {"series", Series, METH_O,
     "series(name): the timer name, made after the call, keeps a series over its steps."},
    {"write_json", Export<TimeWriteJson>, METH_O, "write_json(path) -> bool"},
    {"write_folded", Export<TimeWriteFolded>, METH_O, "write_folded(path) -> bool"},
    {"write_flame_graph", Export<TimeWriteFlameGraph>, METH_O, "write_flame_graph(path) -> bool"},
    {"write_trace", Export<TimeWriteTrace>, METH_O, "write_trace(path) -> bool"},
    {"open_channels", Fast(OpenChannels), METH_FASTCALL,
     "open_channels(path=None): clears the timers, reads TIMING_ON, and opens the file channel "
     "(TIMING_FILE, at path) and the console channel (TIMING_CONSOLE)."},
    {"close_channels", CloseChannels, METH_NOARGS, "close_channels(): closes both channels."},
    {"comment", Comment, METH_O, "comment(text): writes text to each open channel."},
    {"print_report", Print, METH_NOARGS, "print_report(): the flat report, to the open channels."},
    {"print_indented", Fast(PrintIndented), METH_FASTCALL,
     "print_indented(unit=None): the indented report, to the open channels."},
    {"metadata", Fast(Metadata), METH_FASTCALL,
     "metadata(key, value): a key of the run's metadata (value as str())."},
    {"timers", Timers, METH_NOARGS,
     "timers() -> list of dict: every thread's timers merged by path, each with its children."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT,
                        "timetree._timetree",
                        "The native part of the timetree module.",
                        -1,
                        g_functions,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__timetree() {
  PyObject* module = PyModule_Create(&g_module);
  if (module == nullptr) return nullptr;
  PyObject* timer = PyType_FromSpec(&g_timerSpec);
  PyObject* timed = PyType_FromSpec(&g_timedSpec);
  // PyModule_AddObject takes the reference only when it succeeds.
  if (timer == nullptr || timed == nullptr || PyModule_AddObject(module, "timer", timer) < 0) {
    Py_XDECREF(timer);
    Py_XDECREF(timed);
    Py_DECREF(module);
    return nullptr;
  }
  if (PyModule_AddObject(module, "Timed", timed) < 0) {
    Py_DECREF(timed);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
