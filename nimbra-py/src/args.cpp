#include "args.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

#include "classes.hpp"
#include "errors.hpp"

namespace nimbra::py {

namespace {

std::string full_name(const ArgSpec& spec) {
  return std::string(spec.cls) + "." + spec.name + "()";
}

void raise_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

bool str_equals(PyObject* key, const char* name) {
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// True when the pending exception only says that a value could not be
// converted, so a fallback may take its place. Interrupts, exits and running
// out of memory or stack are never that.
bool conversion_merely_failed() {
  return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError) &&
         !PyErr_ExceptionMatches(PyExc_RecursionError);
}

}  // namespace

bool parse_args(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  const std::size_t count = spec.params.size();
  const char* const* params = spec.params.begin();
  for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;

  Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > count) {
    raise_type_error(full_name(spec) + " takes " + std::to_string(count) + " positional arguments but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t k = 0;
      while (k < count && !str_equals(key, params[k])) ++k;
      if (k == count) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(spec).c_str(), key);
        return false;
      }
      if (out[k]) {
        raise_type_error(full_name(spec) + " got multiple values for argument '" + params[k] + "'");
        return false;
      }
      out[k] = value;
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < count; ++i)
    if (!out[i]) missing.push_back(params[i]);
  if (!missing.empty()) {
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) names += (missing.size() == 2) ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      names += std::string("'") + missing[i] + "'";
    }
    raise_type_error(full_name(spec) + " missing " + std::to_string(missing.size()) + " required positional " +
                     (missing.size() == 1 ? "argument" : "arguments") + ": " + names);
    return false;
  }
  return true;
}

void name_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* message = value ? PyUnicode_FromFormat("argument '%s': %S", name, value) : nullptr;
  if (!message) {
    PyErr_Clear();
    message = PyUnicode_FromFormat("argument '%s': ", name);
  }
  PyObject* cause = value ? PyException_GetCause(value) : nullptr;
  if (message) raise_with_cause(PyExc_TypeError, message, cause);
  Py_XDECREF(cause);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

bool to_u64(PyObject* value, std::uint64_t& out) {
  if (PyLong_CheckExact(value)) {
    out = PyLong_AsUnsignedLongLong(value);
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
  }
  PyObject* index = PyNumber_Index(value);
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

bool to_u64_args(const ArgSpec& spec, PyObject* const* argv, std::uint64_t* out) {
  for (std::size_t i = 0; i < spec.params.size(); ++i) {
    if (!to_u64(argv[i], out[i])) {
      name_argument_error(spec.params.begin()[i]);
      return false;
    }
  }
  return true;
}

bool to_i32(PyObject* value, std::int32_t& out) {
  PyObject* index = PyNumber_Index(value);
  if (!index) return false;
  long long wide = PyLong_AsLongLong(index);
  Py_DECREF(index);
  if (wide == -1 && PyErr_Occurred()) return false;
  if (wide > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is greater than maximum");
    return false;
  }
  if (wide < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "signed integer is less than minimum");
    return false;
  }
  out = static_cast<std::int32_t>(wide);
  return true;
}

bool to_size_list(PyObject* value, const char* name, std::vector<std::uint64_t>& out) {
  out.clear();
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    name_argument_error(name);
    return false;
  }
  if (!PySequence_Check(value)) {
    raise_conversion_error(value, "Sequence");
    name_argument_error(name);
    return false;
  }
  // Appends one size; takes over the caller's reference to `item`.
  const auto append = [&](PyObject* item) {
    std::uint64_t v = 0;
    const bool ok = to_u64(item, v);
    Py_DECREF(item);
    if (!ok) {
      name_argument_error(name);
      return false;
    }
    out.push_back(v);
    return true;
  };
  // Lists and tuples are read by position; anything else by iteration.
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
    bool list = PyList_CheckExact(value);
    Py_ssize_t size = list ? PyList_Size(value) : PyTuple_Size(value);
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < (list ? PyList_Size(value) : size); ++i) {
      PyObject* item = list ? PyList_GetItem(value, i) : PyTuple_GetItem(value, i);
      Py_INCREF(item);  // __index__ may run code that changes the list
      if (!append(item)) return false;
    }
    return true;
  }
  // The length only sizes the array in advance; a huge __len__, or one that
  // merely fails, must not decide anything.
  Py_ssize_t hint = PySequence_Size(value);
  if (hint >= 0)
    out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 64)));
  else if (conversion_merely_failed())
    PyErr_Clear();
  else
    return false;
  OwnedRef iter(PyObject_GetIter(value));
  if (!iter) {
    name_argument_error(name);
    return false;
  }
  while (PyObject* item = PyIter_Next(iter.get())) {
    if (!append(item)) return false;
  }
  if (PyErr_Occurred()) {
    name_argument_error(name);
    return false;
  }
  return true;
}

namespace {

// Flattens depth first with a stack of its own, so deep nesting costs heap,
// not C stack; every level still counts against the interpreter's recursion
// limit, which turns a list that contains itself into RecursionError.
class Flattener {
 public:
  explicit Flattener(FloatSink& out) : out_(out) {}
  Flattener(const Flattener&) = delete;
  Flattener& operator=(const Flattener&) = delete;
  ~Flattener() {
    while (!stack_.empty()) leave();
  }

  bool run(PyObject* root) {
    if (!enter(root)) return false;
    while (!stack_.empty()) {
      Level& top = stack_.back();
      // Only conversions that run Python code can change a list; lengths are
      // read again after any of them.
      if (top.epoch != epoch_) {
        top.limit = std::min(top.start_len, PyList_Size(top.list));
        top.epoch = epoch_;
      }
      // Runs of plain floats run no Python code: take them in a tight loop.
      PyObject* const list = top.list;
      Py_ssize_t i = top.index;
      PyObject* item = nullptr;
      for (; i < top.limit; ++i) {
        item = PyList_GetItem(list, i);
        if (!PyFloat_CheckExact(item)) break;
        if (!push(PyFloat_AsDouble(item))) return false;
      }
      top.index = i;
      if (i >= top.limit) {
        leave();
        continue;
      }
      ++top.index;
      Py_INCREF(item);
      const bool ok = item_(item);
      Py_DECREF(item);
      if (!ok) return false;
    }
    return true;
  }

 private:
  struct Level {
    PyObject* list;  // owned
    Py_ssize_t index, start_len, limit;
    std::uint64_t epoch;
  };

  bool item_(PyObject* item) {
    if (PyList_CheckExact(item)) return enter(item);
    ++epoch_;
    const double v = PyFloat_AsDouble(item);
    if (!(v == -1.0 && PyErr_Occurred())) return push(v);
    if (!conversion_merely_failed()) return false;
    PyErr_Clear();
    if (PyList_Check(item)) return enter(item);
    PyErr_SetString(PyExc_ValueError, "Invalid data type in list");
    return false;
  }

  bool push(double v) {
    if (out_.push(static_cast<float>(v))) return true;
    PyErr_NoMemory();
    return false;
  }

  bool enter(PyObject* list) {
    if (Py_EnterRecursiveCall(" while flattening tensor data")) return false;
    const Py_ssize_t len = PyList_Size(list);
    try {
      stack_.push_back(Level{list, 0, len, len, epoch_});
    } catch (const std::bad_alloc&) {
      Py_LeaveRecursiveCall();
      PyErr_NoMemory();
      return false;
    }
    Py_INCREF(list);
    return true;
  }

  void leave() {
    Py_DECREF(stack_.back().list);
    stack_.pop_back();
    Py_LeaveRecursiveCall();
  }

  FloatSink& out_;
  std::vector<Level> stack_;
  std::uint64_t epoch_ = 0;
};

}  // namespace

bool FloatSink::grow(std::size_t cap) {
  if (cap > SIZE_MAX / sizeof(float)) return false;
  auto* bigger = static_cast<float*>(std::realloc(data_, cap * sizeof(float)));
  if (!bigger) return false;
  data_ = bigger;
  capacity_ = cap;
  return true;
}

FloatSink::~FloatSink() { std::free(data_); }

bool to_float_list(PyObject* value, FloatSink& out) {
  if (!PyList_Check(value)) {
    PyErr_SetString(PyExc_ValueError, "Data must be a list");
    return false;
  }
  return Flattener(out).run(value);
}

}  // namespace nimbra::py
