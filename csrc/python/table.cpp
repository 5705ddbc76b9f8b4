#include "python/table.h"

#include <deque>

#include "python/errors.h"

namespace korvex::python {

[[noreturn]] static void raise_count(const Signature& sig, Py_ssize_t given) {
  const Py_ssize_t lo = sig.required + sig.implicit;
  const Py_ssize_t hi = (Py_ssize_t)sig.params.size() + sig.implicit;
  const char* how = lo == hi ? "exactly" : (given < lo ? "at least" : "at most");
  const Py_ssize_t shown = given < lo ? lo : hi;
  raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, how, shown,
               shown == 1 ? "" : "s", given + sig.implicit);
}

[[noreturn]] static void raise_keyword(const Signature& sig, const char* what, PyObject* key) {
  raise_format(PyExc_TypeError, "%.200s() got %s '%S'", sig.name, what, key);
}

Args parse_args(const Signature& sig, PyObject* args, PyObject* kwargs) {
  Args out;
  const bool any_keywords = kwargs && PyDict_GET_SIZE(kwargs);
  if (sig.var_positional) {
    if (any_keywords) {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      PyDict_Next(kwargs, &pos, &key, &value);
      raise_keyword(sig, "an unexpected keyword argument", key);
    }
    out.rest = args;
    return out;
  }
  const Py_ssize_t np = (Py_ssize_t)sig.params.size();
  const Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
  if (given > np) raise_count(sig, given);
  out.values.resize(np);
  for (Py_ssize_t i = 0; i < given; ++i) out.values[i] = PyTuple_GET_ITEM(args, i);
  if (any_keywords) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t idx = -1;
      for (Py_ssize_t i = 0; i < np; ++i)
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) idx = i;
      if (idx < 0) raise_keyword(sig, "an unexpected keyword argument", key);
      if (out.values[idx]) raise_keyword(sig, "multiple values for keyword argument", key);
      out.values[idx] = value;
    }
  }
  for (Py_ssize_t i = 0; i < sig.required; ++i)
    if (!out.values[i]) raise_count(sig, given);
  if (!sig.defaults.empty())
    for (Py_ssize_t i = sig.required; i < np; ++i)
      if (!out.values[i]) out.values[i] = sig.defaults[i];
  return out;
}

namespace {

// Descriptors and signatures keep pointers into these for the life of the process.
std::deque<PyMethodDef>& method_defs() {
  static auto* defs = new std::deque<PyMethodDef>();
  return *defs;
}
std::deque<Signature>& signatures() {
  static auto* sigs = new std::deque<Signature>();
  return *sigs;
}
std::deque<std::string>& texts() {
  static auto* t = new std::deque<std::string>();
  return *t;
}

bool is_var_positional(const Param& p) { return p.name[0] == '*'; }

const Signature& signature_for(const Def& def) {
  Signature sig{def.name, {}, 0, def.kind == DefKind::Method ? 1 : 0};
  static py::handle literal_eval = py::object(py::module_::import("ast").attr("literal_eval")).release();
  bool optional_seen = false;
  for (const Param& p : def.params) {
    if (is_var_positional(p)) {
      sig.var_positional = true;
      continue;
    }
    sig.params.push_back(p.name);
    if (p.default_literal) {
      optional_seen = true;
      sig.defaults.push_back(literal_eval(py::str(p.default_literal)));
    } else {
      if (optional_seen) throw std::logic_error(std::string(def.name) + ": a required parameter after an optional one");
      ++sig.required;
      sig.defaults.emplace_back();
    }
  }
  signatures().push_back(std::move(sig));
  return signatures().back();
}

std::string signature_text(const Def& def, bool internal) {
  std::vector<std::string> parts;
  // "$self" and "$cls" mark the bound first parameter, which inspect drops once bound.
  if (def.kind == DefKind::Method) parts.push_back(internal ? "$self, /" : "self, /");
  if (def.kind == DefKind::ClassMethod) parts.push_back(internal ? "$cls, /" : "cls, /");
  for (const Param& p : def.params)
    parts.push_back(p.default_literal ? std::string(p.name) + "=" + p.default_literal : std::string(p.name));
  std::string out = std::string(def.name) + "(";
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? ", " : "") + parts[i];
  return out + ")";
}

// The docstring CPython splits into __text_signature__ and __doc__: "name(...)\n--\n\n" first.
const char* internal_doc(const Def& def) {
  std::string text = signature_text(def, true) + "\n--\n\n";
  if (def.doc) text += def.doc;
  texts().push_back(std::move(text));
  return texts().back().c_str();
}

void set_attr(py::handle owner, const char* name, PyObject* value) {
  if (!value) throw py::error_already_set();
  py::object held = py::reinterpret_steal<py::object>(value);
  if (PyObject_SetAttrString(owner.ptr(), name, held.ptr()) < 0) throw py::error_already_set();
}

}  // namespace

std::string text_signature(const Def& def) { return signature_text(def, false); }

Exports install(py::handle cls, py::handle module, const Def* defs, size_t count) {
  Exports exported;
  auto& mdefs = method_defs();
  for (size_t i = 0; i < count; ++i) {
    const Def& def = defs[i];
    if (def.kind == DefKind::Property) {
      mdefs.push_back(PyMethodDef{def.name, def.call, METH_O, nullptr});
      PyObject* f = PyCFunction_New(&mdefs.back(), nullptr);
      if (!f) throw py::error_already_set();
      py::object getter = py::reinterpret_steal<py::object>(f);
      py::object prop = py::reinterpret_borrow<py::object>((PyObject*)&PyProperty_Type)(
          getter, py::none(), py::none(), def.doc ? py::object(py::str(def.doc)) : py::object(py::none()));
      if (PyObject_SetAttrString(cls.ptr(), def.name, prop.ptr()) < 0) throw py::error_already_set();
      continue;
    }
    const Signature& sig = signature_for(def);
    if (*def.parsed && *def.parsed != &sig && std::string((*def.parsed)->name) != def.name)
      throw std::logic_error(std::string("one C++ function registered as both ") + (*def.parsed)->name + " and " +
                             def.name);
    *def.parsed = &sig;
    mdefs.push_back(PyMethodDef{def.name, def.call, METH_VARARGS | METH_KEYWORDS, internal_doc(def)});
    PyMethodDef* md = &mdefs.back();
    switch (def.kind) {
      case DefKind::Method:
        set_attr(cls, def.name, PyDescr_NewMethod((PyTypeObject*)cls.ptr(), md));
        break;
      case DefKind::ClassMethod:
        set_attr(cls, def.name, PyDescr_NewClassMethod((PyTypeObject*)cls.ptr(), md));
        break;
      case DefKind::Function: {
        py::object name = py::reinterpret_borrow<py::object>(module).attr("__name__");
        set_attr(module, def.name, PyCFunction_NewEx(md, nullptr, name.ptr()));
        if (def.name[0] != '_') exported.emplace_back(def.name);
        break;
      }
      case DefKind::Property:
        break;
    }
  }
  return exported;
}

}  // namespace korvex::python
