// Shared declarations of the caskwell module's translation units.
#pragma once

#include "pyco/pyco.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

namespace caskwell {

namespace py = pybind11;
using pyco::Task;

// --- the module's namespace (support.cpp) -------------------------------------------

// The module's names, functions and imports (pyco's layer for the module it serves):
// names are read from the module's namespace when they are used, so callers and tests that
// patch the module's attributes (aiohttp, UNEARTH_AVAILABLE, Version, logger,
// get_pip_settings, ...) are honoured.
using namespace pyco::served;

using pyco::S;

using pyco::annotations;
using pyco::builtin;
// typing constructs with the module's own names: List[t], Set[t], Dict[k, v].
py::object list_of(const py::object& t);
py::object set_of(const py::object& t);
py::object dict_of(const py::object& k, const py::object& v);

// --- Python semantics ------------------------------------------------------------------

using pyco::truthy;
// `obj.get(key, default)` (a plain dict is read directly).
py::object get_or(py::handle obj, py::handle key, py::handle default_value);
// `obj.get(key)`.
py::object get_or_none(py::handle obj, py::handle key);
// str(obj)
py::str str_of(py::handle obj);
// len(obj)
Py_ssize_t length_of(py::handle obj);
// The exception class asyncio raises for timeouts, read when used.
py::object timeout_error();
// Loops over the entries of a document (requirement lists have no length limit) call this
// for every entry: now and then it lets other threads take the interpreter, so that such
// a loop in a worker thread does not hold up the event loop.
void pass_turn(Py_ssize_t& count);

// --- logging through the module-level `logger` -----------------------------------------


// --- text (strings.cpp): the rules of text.hpp applied to Python str objects ---------

// name.lower() with every run of "-", "_" and "." replaced by one "-".
py::object normalize_name(py::handle name);
// url.rstrip("/\\")
py::object normalize_url(py::handle url);
// The dependency record of one requirement string, or None (after the warning line).
py::object parse_requirement(py::handle req);
// The extra named by the first extra marker of `req` (None when there is none); `req`
// must be a str (TypeError otherwise).
py::object extra_marker(py::handle req);
// The names of the extras the requirement strings are conditional on, as a set.
py::set extras_of(py::handle requires_dist);
// pattern with "{package_name}" replaced, then "{version}" replaced by `version` or, when
// `version` is null, every "/{version}" removed. TypeError unless `pattern` is a str.
py::object api_url(py::handle pattern, py::handle package_name, py::handle version);
// a + b for two str objects.
py::object concat(py::handle a, py::handle b);

// --- version ordering (versions.cpp) -----------------------------------------------------

// The strings ordered newest first by `version_class(s)`, stable for equal versions;
// strings whose parse raises an instance of `skip` are dropped (any other exception
// propagates).
py::list order_by_version(py::handle strings, py::handle version_class, py::handle skip);
// sorted(strings, reverse=True)
py::list order_plainly(py::handle strings);

// --- the package finder (finder.cpp) -----------------------------------------------------

// PackageFinder(index_urls=[index_url]), with the module's PackageFinder read now. The
// scope closes what the finder opened (its HTTP session and the exit hook that
// unearth registers for it) when it ends.
class FinderScope {
public:
    explicit FinderScope(py::handle index_url);
    ~FinderScope();
    FinderScope(const FinderScope&) = delete;
    FinderScope& operator=(const FinderScope&) = delete;
    const py::object& finder() const { return finder_; }

private:
    py::object finder_;
};

// The metadata of the best match's link: finder.get_metadata(link) where the finder has
// it, else the core metadata file the index advertises, else a wheel's METADATA. None
// when there is none to be had without building the distribution, or when it is larger
// than the module's _MAX_METADATA_BYTES (logged). A download that takes longer than the
// module's _METADATA_REQUEST_SECONDS or _WHEEL_DOWNLOAD_SECONDS is logged as a failed
// query and raises TimeoutError.
py::object link_metadata(const py::object& finder, const py::object& link, const py::object& package_name);

// --- the multi-index search and the per-index request (search.cpp) ----------------------

// The arguments of one per-index query.
struct Request {
    py::object self;
    py::object package_name;
    py::object version;  // None for version-less queries
    py::object index_url;
};

enum class Failure { NotFound, Status, Timeout, Error, NoPattern, Unearth };

// What one kind of per-index query does at each step of the shared request.
struct IndexQuery {
    // "{version}" is substituted (per-version queries) or "/{version}" removed.
    bool versioned_url;
    // Existence checks: the answer is `status == 200`, the body is not read, and every
    // failure of the request is one debug line (api_check_failed).
    bool status_only;
    void (*api_check_failed)(const Request&, py::handle e);
    // The answer from a decoded 200 response.
    py::object (*on_data)(const Request&, py::object data);
    // The failure value (and, for the package info, its message).
    py::object (*failure)(const Request&, Failure kind, py::handle detail);
    // No pattern and no unearth: whether the "No API pattern ..." debug line is written.
    bool log_no_unearth;
    // The blocking call run in the default executor when the index has no pattern:
    // (callable, *arguments).
    py::tuple (*unearth_call)(const Request&);
    // The answer from the executor's result (identity for most queries).
    py::object (*on_unearth)(const Request&, py::object result);
    // Logs a failure of the unearth path (may log nothing).
    void (*unearth_failed)(const Request&, py::handle e);
};

// The per-index request: API pattern lookup, URL, session, GET with a 10-second timeout,
// status, JSON, or the unearth fallback without a pattern.
Task index_request(Request r, const IndexQuery* q);

enum class Test { Truthy, NoErrorKey };

// What one public query does around the multi-index search order.
struct Search {
    const char* per_index_method;  // called on self as (package_name, [version,] url)
    bool with_version;
    Test test;
    const char* primary;          // info before the primary (package_name), or null
    const char* primary_found;    // info with len(result), or null
    const char* secondaries;      // info with the number of secondary indexes, or null
    const char* secondary;        // info before each secondary (url), or null
    const char* secondary_found;  // info with len(result), or null
    Level none_level;
    const char* none;  // logged when no index gave a result (package_name), or null
    // The public result from an index's result (e.g. sorted extras, the index URL).
    py::object (*found)(py::object result, const py::object& url);
    py::object (*not_found)(const py::object& package_name);
};

// The multi-index search order: primary first, then the secondaries one at a time when
// settings["use_secondary_urls"] is true; the first result that passes the test wins.
Task search_indexes(py::object self, py::object package_name, py::object version, const Search* s);

// An awaitable made from a Task, for awaiting it through the pyco await helpers.
inline py::object awaitable(Task&& t) { return pyco::make_coroutine(std::move(t)); }

// --- pieces of the Caskwell class, one per translation unit ----------------------------

// Each adds the methods it defines; the module's set-up puts them into the class in the
// order of the class's interface.
using Methods = std::vector<pyco::Def>;
void client_methods(Methods& out);
void distribution_methods(Methods& out);
void discovery_methods(Methods& out);
void version_methods(Methods& out);
void metadata_methods(Methods& out);
void info_methods(Methods& out);
void define_placeholder_classes(py::module_ m);

}  // namespace caskwell
