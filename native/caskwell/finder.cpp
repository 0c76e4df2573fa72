// The package finder for indexes without an API pattern: one finder per query, closed
// when the query is done, and the metadata of a distribution link (the finder's own
// get_metadata where it has one, else the core metadata file the index advertises, else
// the METADATA file of a downloaded wheel).
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

// Limits of the metadata fallback: time for a whole wheel download, per request of the
// metadata file, and the size of a METADATA file read out of a wheel.
constexpr double kWheelDownloadSeconds = 60.0;
constexpr double kMetadataRequestSeconds = 10.0;
constexpr Py_ssize_t kMaxMetadataBytes = 16 * 1024 * 1024;

py::object optional_attr(py::handle obj, const char* name) {
    PyObject* value = nullptr;
    if (_PyObject_LookupAttr(obj.ptr(), pyco::intern(name), &value) < 0) throw py::error_already_set();
    return value ? py::reinterpret_steal<py::object>(value) : py::object();
}

// What a finder opened: its class's close() where it has one, else the HTTP session
// unearth made for it on first use (kept in the instance's `_session`). unearth also
// registers the session's close with atexit, which would keep every session of a
// long-running process alive until exit. Only the instance's own dict and its class are
// looked at, so a stand-in object (a mock) is not called for attributes it never had.
void close_finder(const py::object& finder) {
    py::object session;
    py::object dict = optional_attr(finder, "__dict__");
    if (dict && PyDict_Check(dict.ptr())) {
        py::object s = get_or_none(dict, S("_session"));
        if (!s.is_none()) session = s;
    }
    py::object session_close;
    if (session) session_close = optional_attr(session, "close");
    if (optional_attr(py::type::handle_of(finder), "close")) {
        finder.attr("close")();
    } else if (session_close) {
        session_close();
    }
    if (session_close) py::module_::import("atexit").attr("unregister")(session_close);
}

// Ends a wheel download that runs past its deadline (called by the finder per chunk).
py::object download_deadline(py::object state, py::object link, py::object completed, py::object total) {
    double deadline = PyFloat_AsDouble(PyTuple_GET_ITEM(state.ptr(), 0));
    if (PyErr_Occurred()) throw py::error_already_set();
    double now = py::module_::import("time").attr("monotonic")().cast<double>();
    if (now > deadline) {
        py::str text = pyco::fmt("Download of {} took longer than {} seconds", link, kWheelDownloadSeconds);
        PyErr_SetObject(PyExc_TimeoutError, text.ptr());
        throw py::error_already_set();
    }
    return py::none();
}

py::object parse_metadata(py::handle content) {
    py::object text = content.attr("decode")(S("utf-8"), S("replace"));
    return py::module_::import("email.parser").attr("Parser")().attr("parsestr")(text);
}

py::object url_without_fragment(const py::object& link) {
    py::object url = optional_attr(link, "url_without_fragment");
    if (url && !url.is_none()) return url;
    return link.attr("url").attr("split")(S("#"), 1)[py::int_(0)];
}

bool is_wheel(const py::object& link) {
    py::object flag = optional_attr(link, "is_wheel");
    if (flag && !flag.is_none()) return truthy(flag);
    return truthy(url_without_fragment(link).attr("endswith")(S(".whl")));
}

// Checks `content` against the first hash the index gave that hashlib knows.
void verify_hash(const py::object& advertised, py::handle content, const py::object& url) {
    if (!PyDict_Check(advertised.ptr())) return;
    py::module_ hashlib = py::module_::import("hashlib");
    py::object known = hashlib.attr("algorithms_available");
    for (auto item : py::reinterpret_borrow<py::dict>(advertised)) {
        if (!known.contains(item.first)) continue;
        py::object digest = hashlib.attr("new")(item.first, content).attr("hexdigest")();
        if (!digest.equal(item.second)) {
            py::str text = pyco::fmt("Hash mismatch of {}: expected {} {}, got {}", url, item.first, item.second, digest);
            PyErr_SetObject(PyExc_ValueError, text.ptr());
            throw py::error_already_set();
        }
        return;
    }
}

// The core metadata file served next to the distribution (PEP 658, PEP 714).
py::object core_metadata_file(const py::object& finder, const py::object& link, const py::object& advertised) {
    py::object url = concat(url_without_fragment(link), S(".metadata"));
    py::object response = finder.attr("session").attr("get")(url, py::arg("timeout") = kMetadataRequestSeconds);
    response.attr("raise_for_status")();
    py::object content = response.attr("content");
    verify_hash(advertised, content, url);
    return parse_metadata(content);
}

py::object metadata_member(const py::object& archive, const py::object& package_name, const py::object& where) {
    py::list candidates;
    for (py::handle name : archive.attr("namelist")()) {
        if (!truthy(name.attr("endswith")(S(".dist-info/METADATA")))) continue;
        if (!py::object(name.attr("count")(S("/"))).equal(py::int_(1))) continue;
        candidates.append(name);
    }
    if (PyList_GET_SIZE(candidates.ptr()) == 0) {
        py::str text = pyco::fmt("No .dist-info/METADATA in {}", where);
        PyErr_SetObject(PyExc_ValueError, text.ptr());
        throw py::error_already_set();
    }
    // "name-version.dist-info/METADATA": prefer the directory of the queried project.
    py::object wanted = normalize_name(package_name);
    for (py::handle name : candidates) {
        py::object project = name.attr("split")(S("-"), 1)[py::int_(0)];
        if (PyUnicode_Check(project.ptr()) && normalize_name(project).equal(wanted)) return py::reinterpret_borrow<py::object>(name);
    }
    return candidates[0];
}

// The METADATA of a wheel, downloaded (hash-checked by the finder) into a temporary
// directory that is removed again.
py::object wheel_metadata(const py::object& finder, const py::object& link, const py::object& package_name) {
    py::object tmp = py::module_::import("tempfile").attr("TemporaryDirectory")(py::arg("prefix") = S("caskwell-"));
    py::object result;
    try {
        double deadline = py::module_::import("time").attr("monotonic")().cast<double>() + kWheelDownloadSeconds;
        pyco::Def def = pyco::fn<download_deadline>("download_deadline", {"link", "completed", "total"});
        py::object reporter = function(def.with_closure(py::make_tuple(deadline)));
        py::object path = finder.attr("download")(link, tmp.attr("name"), py::arg("download_reporter") = reporter);
        py::object archive = py::module_::import("zipfile").attr("ZipFile")(path);
        try {
            py::object member = metadata_member(archive, package_name, path);
            py::object content = archive.attr("open")(member).attr("read")(kMaxMetadataBytes + 1);
            if (length_of(content) > kMaxMetadataBytes) {
                py::str text = pyco::fmt("{} in {} is larger than {} bytes", member, path, kMaxMetadataBytes);
                PyErr_SetObject(PyExc_ValueError, text.ptr());
                throw py::error_already_set();
            }
            result = parse_metadata(content);
        } catch (...) {
            archive.attr("close")();
            throw;
        }
        archive.attr("close")();
    } catch (...) {
        // Keep the first error; the directory goes in any case.
        pyco::set_error_from_current_exception();
        pyco::SavedError err;
        err.fetch();
        PyObject* r = PyObject_CallMethodNoArgs(tmp.ptr(), pyco::intern("cleanup"));
        Py_XDECREF(r);
        if (!r) PyErr_Clear();
        err.restore();
        throw py::error_already_set();
    }
    tmp.attr("cleanup")();
    return result;
}

}  // namespace

FinderScope::FinderScope(py::handle index_url) {
    py::list urls;
    urls.append(index_url);
    finder_ = g("PackageFinder")(py::arg("index_urls") = urls);
}

FinderScope::~FinderScope() {
    if (!finder_) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        close_finder(finder_);
    } catch (py::error_already_set& e) {
        // A finder that cannot be closed does not change the query's answer.
        try {
            debug("Could not close the package finder: {}", e.value());
        } catch (...) {
            PyErr_Clear();
        }
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
}

py::object link_metadata(const py::object& finder, const py::object& link, const py::object& package_name) {
    py::object get_metadata = optional_attr(finder, "get_metadata");
    if (get_metadata) return get_metadata(link);
    py::object advertised = optional_attr(link, "dist_info_metadata");
    if (advertised && truthy(advertised)) return core_metadata_file(finder, link, advertised);
    if (is_wheel(link)) return wheel_metadata(finder, link, package_name);
    debug("No metadata for {} without building it: {}", package_name, url_without_fragment(link));
    return py::none();
}

}  // namespace caskwell
