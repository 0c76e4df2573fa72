// The package finder for indexes without an API pattern: one finder per query, closed
// when the query is done, and the metadata of a distribution link (the finder's own
// get_metadata where it has one, else the core metadata file the index advertises, else
// the METADATA file of a downloaded wheel). Metadata files and wheels are fetched in a
// thread of their own under a deadline for the whole download, and metadata is read in
// pieces up to a size limit.
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

// The limits of the metadata fallback are module-level names, read when used:
// _WHEEL_DOWNLOAD_SECONDS for a whole wheel download (connect, headers, body and the
// METADATA read out of it), _METADATA_REQUEST_SECONDS for a whole core metadata file
// request, _MAX_METADATA_BYTES for a metadata file or a wheel's METADATA member.
Py_ssize_t max_metadata_bytes() {
    Py_ssize_t n = PyNumber_AsSsize_t(g("_MAX_METADATA_BYTES").ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return n;
}

// Metadata files and members are read in pieces of this size at most.
constexpr Py_ssize_t kReadPiece = 64 * 1024;

py::object optional_attr(py::handle obj, const char* name) {
    PyObject* value = nullptr;
    if (_PyObject_LookupAttr(obj.ptr(), pyco::intern(name), &value) < 0) throw py::error_already_set();
    return value ? py::reinterpret_steal<py::object>(value) : py::object();
}

[[noreturn]] void raise(PyObject* type, const py::str& text) {
    PyErr_SetObject(type, text.ptr());
    throw py::error_already_set();
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

// `resource.close()` after `body()`, whatever way the body ends (a failing close does not
// replace the body's error).
template <class Body>
py::object closing(const py::object& resource, Body body) {
    py::object result;
    try {
        result = body();
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        PyObject* r = PyObject_CallMethodNoArgs(resource.ptr(), pyco::intern("close"));
        if (r) Py_DECREF(r);
        else PyErr_Clear();
        throw;
    }
    resource.attr("close")();
    return result;
}

// `with cm as value: body(value)`.
template <class Body>
void with_entered(const py::object& cm, Body body) {
    py::object value = cm.attr("__enter__")();
    try {
        body(value);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        pyco::set_error_from_current_exception();
        pyco::SavedError err;
        err.fetch();
        PyObject* args[] = {cm.ptr(), err.type, err.value ? err.value : Py_None, err.tb ? err.tb : Py_None};
        PyObject* suppress = PyObject_VectorcallMethod(pyco::intern("__exit__"), args, 4, nullptr);
        if (!suppress) throw py::error_already_set();  // __exit__'s own error, as Python would raise it
        int r = PyObject_IsTrue(suppress);
        Py_DECREF(suppress);
        if (r < 0) throw py::error_already_set();
        if (r) return;
        err.restore();
        throw py::error_already_set();
    }
    cm.attr("__exit__")(py::none(), py::none(), py::none());
}

// The first hash the index gave for a file that hashlib can compute (a mapping of
// algorithm to one value or to a list of accepted values), computed over the bytes as
// they arrive. Without one nothing is checked.
class Digest {
public:
    explicit Digest(const py::object& advertised) {
        if (!advertised || !PyDict_Check(advertised.ptr())) return;
        py::module_ hashlib = py::module_::import("hashlib");
        py::object known = hashlib.attr("algorithms_available");
        for (auto item : py::reinterpret_borrow<py::dict>(advertised)) {
            if (!known.contains(item.first)) continue;
            name_ = py::reinterpret_borrow<py::object>(item.first);
            expected_ = py::reinterpret_borrow<py::object>(item.second);
            hasher_ = hashlib.attr("new")(name_);
            return;
        }
    }
    void update(py::handle piece) {
        if (hasher_) hasher_.attr("update")(piece);
    }
    // ValueError when the bytes do not have an accepted value.
    void check(const py::object& url) const {
        if (!hasher_) return;
        py::object digest = hasher_.attr("hexdigest")();
        bool accepted = PyList_Check(expected_.ptr()) ? expected_.contains(digest) : digest.equal(expected_);
        if (!accepted) {
            raise(PyExc_ValueError, pyco::fmt("Hash mismatch of {}: expected {} {}, got {}", url, name_, expected_, digest));
        }
    }

private:
    py::object name_, expected_, hasher_;
};

// A metadata file parsed as it arrives (the pieces decoded as UTF-8 with replacement and
// fed to the email parser, as Parser().parsestr would see the whole text), so that no
// single step holds the interpreter for long, and refused once it is larger than the limit.
class MetadataReader {
public:
    MetadataReader()
        : limit_(max_metadata_bytes()),
          decoder_(py::module_::import("codecs").attr("getincrementaldecoder")(S("utf-8"))(S("replace"))),
          parser_(py::module_::import("email.parser").attr("FeedParser")()) {}
    // False (and nothing fed) once the pieces add up to more than the limit.
    bool feed(py::handle piece) {
        size_ += length_of(piece);
        if (size_ > limit_) return false;
        parser_.attr("feed")(decoder_.attr("decode")(piece));
        return true;
    }
    py::object close() {
        parser_.attr("feed")(decoder_.attr("decode")(py::bytes(), true));
        return parser_.attr("close")();
    }
    // The error line of a refused file; the query goes on without metadata.
    py::object refuse(const py::object& package_name, const py::object& where) const {
        error("Metadata of {} at {} is larger than {} bytes; not read", package_name, where, limit_);
        return py::none();
    }

private:
    Py_ssize_t limit_;
    Py_ssize_t size_ = 0;
    py::object decoder_, parser_;
};

// GETs `url` through the finder's session and hands the body to `sink` piece by piece, as
// the pieces arrive, until it returns false. Stops with TimeoutError once `cancelled` (a
// threading.Event) is set: the deadline has passed and nobody waits for the answer.
template <class Sink>
void stream(const py::object& session, const py::object& url, const py::object& cancelled, Sink sink) {
    with_entered(session.attr("get_stream")(url), [&](const py::object& response) {
        response.attr("raise_for_status")();
        for (py::handle piece : response.attr("iter_bytes")(py::none())) {
            if (truthy(cancelled.attr("is_set")())) {
                raise(PyExc_TimeoutError, pyco::fmt("Download of {} cancelled", url));
            }
            if (!sink(piece)) return;
        }
    });
}

// What a download job works with (its closure): the finder's session, the file's URL, the
// hashes the index gave for the file and the queried package's name.
struct Download {
    py::object session, url, hashes, package_name;
    PYCO_FIELDS(session, url, hashes, package_name)
};

// The jobs run under a deadline; each gets its Download and the cancellation event, and
// returns the parsed metadata or None.

// The core metadata file served next to the distribution (PEP 658, PEP 714).
py::object metadata_file_job(py::object closure, py::object cancelled) {
    const Download& job = pyco::closure_of<Download>(closure);
    py::object session = job.session, url = job.url, package_name = job.package_name;
    Digest digest(job.hashes);
    MetadataReader reader;
    bool complete = true;
    stream(session, url, cancelled, [&](py::handle piece) {
        digest.update(piece);
        return complete = reader.feed(piece);
    });
    if (!complete) return reader.refuse(package_name, url);
    digest.check(url);
    return reader.close();
}

py::object metadata_member(const py::object& archive, const py::object& package_name, const py::object& where) {
    py::list candidates;
    for (py::handle name : archive.attr("namelist")()) {
        if (!truthy(name.attr("endswith")(S(".dist-info/METADATA")))) continue;
        if (!py::object(name.attr("count")(S("/"))).equal(py::int_(1))) continue;
        candidates.append(name);
    }
    if (PyList_GET_SIZE(candidates.ptr()) == 0) {
        raise(PyExc_ValueError, pyco::fmt("No .dist-info/METADATA in {}", where));
    }
    // "name-version.dist-info/METADATA": prefer the directory of the queried project.
    py::object wanted = normalize_name(package_name);
    for (py::handle name : candidates) {
        py::object project = name.attr("split")(S("-"), 1)[py::int_(0)];
        if (PyUnicode_Check(project.ptr()) && normalize_name(project).equal(wanted)) return py::reinterpret_borrow<py::object>(name);
    }
    return candidates[0];
}

// A wheel downloaded (and hash-checked) into an anonymous temporary file, and the
// METADATA read out of it.
py::object wheel_job(py::object closure, py::object cancelled) {
    const Download& job = pyco::closure_of<Download>(closure);
    py::object session = job.session, url = job.url, hashes = job.hashes, package_name = job.package_name;
    py::object file = py::module_::import("tempfile").attr("TemporaryFile")(py::arg("prefix") = S("caskwell-"));
    return closing(file, [&] {
        Digest digest(hashes);
        py::object write = file.attr("write");
        stream(session, url, cancelled, [&](py::handle piece) {
            digest.update(piece);
            write(piece);
            return true;
        });
        digest.check(url);
        py::object archive = py::module_::import("zipfile").attr("ZipFile")(file);
        return closing(archive, [&] {
            py::object member = archive.attr("open")(metadata_member(archive, package_name, url));
            return closing(member, [&] {
                MetadataReader reader;
                for (;;) {
                    py::object piece = member.attr("read")(kReadPiece);
                    if (length_of(piece) == 0) return reader.close();
                    if (!reader.feed(piece)) return reader.refuse(package_name, url);
                }
            });
        });
    });
}

// What a deadline's thread works with (its closure): the job, called with `cancelled`;
// `done`, set once the job has ended; and the job's outcome, what it returned (None until
// then) or the exception it raised (null unless it raised).
struct Deadline {
    py::object job, cancelled, done, result, error;
    PYCO_FIELDS(job, cancelled, done, result, error)
};

// The body of a deadline's thread: the job's outcome goes to its Deadline, then `done` is
// set.
py::object deadline_worker(py::object closure) {
    Deadline& deadline = pyco::closure_of<Deadline>(closure);
    py::object job = deadline.job, cancelled = deadline.cancelled, done = deadline.done;
    try {
        deadline.result = job(cancelled);
    } catch (py::error_already_set& e) {
        deadline.error = pyco::caught(e);
    } PYCO_RETHROW_FORCED_UNWIND catch (...) {
        pyco::set_error_from_current_exception();
        deadline.error = pyco::caught(py::error_already_set());
    }
    done.attr("set")();
    return py::none();
}

// job(cancelled) in a thread of its own, waited for at most the seconds the module-level
// `limit` names. Past them the job is told to stop, the expiry is logged as a failed
// query and TimeoutError raised; the job's thread ends at its next piece, or when the
// session's own timeout or the finder's closing ends its read.
py::object with_deadline(const char* limit, pyco::Def job, Download download) {
    py::object url = download.url, package_name = download.package_name;
    py::object seconds = g(limit);
    py::module_ threading = py::module_::import("threading");
    py::object cancelled = threading.attr("Event")();
    py::object done = threading.attr("Event")();
    py::object work = function(job.with_closure(pyco::make_closure(std::move(download))));
    py::object outcome = pyco::make_closure(Deadline{work, cancelled, done, py::none(), py::object()});
    pyco::Def worker = pyco::fn<deadline_worker>("deadline_worker", {});
    py::object target = function(worker.with_closure(outcome));
    threading.attr("Thread")(py::arg("target") = target, py::arg("name") = S("caskwell-download")).attr("start")();
    if (!truthy(done.attr("wait")(seconds))) {
        cancelled.attr("set")();
        py::str text = pyco::fmt("Download of {} for {} took longer than {} seconds", url, package_name, seconds);
        error("{}", text);
        raise(PyExc_TimeoutError, text);
    }
    const Deadline& ended = pyco::closure_of<Deadline>(outcome);
    if (ended.error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(ended.error.ptr())), ended.error.ptr());
        throw py::error_already_set();
    }
    return ended.result;
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

}  // namespace

FinderScope::FinderScope(py::handle index_url) {
    py::list urls;
    urls.append(index_url);
    finder_ = g("PackageFinder")(py::arg("index_urls") = urls);
}

FinderScope::~FinderScope() {
    // A thread ended as the process exits unwinds through here without the GIL, and a
    // destructor cannot let that unwinding through its catch-alls: nothing is closed then.
    if (!finder_ || pyco::unwinding_at_exit()) return;
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
    if (advertised && truthy(advertised)) {
        Download file{finder.attr("session"), concat(url_without_fragment(link), S(".metadata")), advertised,
                      package_name};
        return with_deadline("_METADATA_REQUEST_SECONDS", pyco::fn<metadata_file_job>("metadata_file_job", {"cancelled"}),
                             std::move(file));
    }
    if (is_wheel(link)) {
        py::object hashes = optional_attr(link, "hash_option");
        Download wheel{finder.attr("session"), url_without_fragment(link), hashes ? hashes : py::object(py::none()),
                       package_name};
        return with_deadline("_WHEEL_DOWNLOAD_SECONDS", pyco::fn<wheel_job>("wheel_job", {"cancelled"}), std::move(wheel));
    }
    debug("No metadata for {} without building it: {}", package_name, url_without_fragment(link));
    return py::none();
}

}  // namespace caskwell
