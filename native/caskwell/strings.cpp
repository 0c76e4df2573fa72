// The text rules of text.hpp applied to Python str objects: the rules read the str's own
// storage and answer with character positions, and results are slices of the original
// text (never a round trip through UTF-8), so any character survives, lone surrogates
// included.
#include "caskwell/caskwell.hpp"
#include "caskwell/text.hpp"

namespace caskwell {

namespace {

// Calls f(text::View<Ch>) with the str's storage.
template <class F>
auto with_text(py::handle s, F&& f) {
    PyObject* o = s.ptr();
    if (PyUnicode_READY(o) < 0) throw py::error_already_set();
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND: return f(text::View<Py_UCS1>{PyUnicode_1BYTE_DATA(o), n});
        case PyUnicode_2BYTE_KIND: return f(text::View<Py_UCS2>{PyUnicode_2BYTE_DATA(o), n});
        default: return f(text::View<Py_UCS4>{PyUnicode_4BYTE_DATA(o), n});
    }
}

void require_str(py::handle s, const char* what) {
    if (PyUnicode_Check(s.ptr())) return;
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(s.ptr())->tp_name);
    throw py::error_already_set();
}

py::str slice(py::handle s, text::Span span) {
    PyObject* r = PyUnicode_Substring(s.ptr(), static_cast<Py_ssize_t>(span.begin), static_cast<Py_ssize_t>(span.end));
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

py::str join(const py::list& pieces, const char* separator) {
    PyObject* r = PyUnicode_Join(pyco::intern(separator), pieces.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

py::object replace(py::handle s, const char* old_text, py::handle new_text) {
    PyObject* r = PyUnicode_Replace(s.ptr(), pyco::intern(old_text), new_text.ptr(), -1);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace

py::object normalize_name(py::handle name) {
    PyObject* lowered_ptr = PyObject_CallMethodNoArgs(name.ptr(), pyco::intern("lower"));
    if (!lowered_ptr) throw py::error_already_set();
    py::object lowered = py::reinterpret_steal<py::object>(lowered_ptr);
    require_str(lowered, "lower-cased name");
    text::NameParts parts = with_text(lowered, [](auto v) { return text::split_name(v); });
    if (parts.unchanged) return lowered;
    py::list pieces;
    if (parts.leading) pieces.append(S(""));
    for (const text::Span& run : parts.runs) pieces.append(slice(lowered, run));
    if (parts.trailing) pieces.append(S(""));
    return join(pieces, "-");
}

py::object normalize_url(py::handle url) {
    std::size_t keep = with_text(url, [](auto v) { return text::url_without_trailing_separators(v); });
    if (keep == static_cast<std::size_t>(PyUnicode_GET_LENGTH(url.ptr()))) return py::reinterpret_borrow<py::object>(url);
    return slice(url, text::Span{0, keep});
}

py::object parse_requirement(py::handle req) {
    auto parsed = with_text(req, [](auto v) { return text::parse_requirement(v); });
    if (!parsed) {
        warning("Could not parse requirement: {}", req);
        return py::none();
    }
    py::list extras;
    for (const text::Span& piece : parsed->extras) extras.append(slice(req, piece));
    py::dict record;
    record[S("name")] = slice(req, parsed->name);
    record[S("version_spec")] = slice(req, parsed->version_spec);
    record[S("extras")] = extras;
    record[S("markers")] = slice(req, parsed->markers);
    return record;
}

py::object extra_marker(py::handle req) {
    require_str(req, "requirement");
    auto span = with_text(req, [](auto v) { return text::extra_marker(v); });
    if (!span) return py::none();
    return slice(req, *span);
}

py::set extras_of(py::handle requires_dist) {
    py::set found;
    Py_ssize_t count = 0;
    for (py::handle req : requires_dist) {
        pass_turn(count);
        py::object name = extra_marker(req);
        if (!name.is_none()) found.add(name);
    }
    return found;
}

py::object api_url(py::handle pattern, py::handle package_name, py::handle version) {
    require_str(pattern, "API pattern");
    py::object url = replace(pattern, "{package_name}", package_name);
    if (version) return replace(url, "{version}", version);
    return replace(url, "/{version}", S(""));
}

py::object concat(py::handle a, py::handle b) {
    PyObject* r = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace caskwell
