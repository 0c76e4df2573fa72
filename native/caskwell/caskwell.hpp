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

// How the "{version}" placeholder of an index's API pattern is treated.
enum class ApiUrl {
    WithVersion,     // replaced by the queried version
    WithoutVersion,  // every "/{version}" removed (version-less queries)
};

// One kind of per-index query that answers from the index's JSON API document, or from
// the package finder for an index without an API pattern. document_request runs the
// shared steps (pattern, URL, session, GET with a 10-second timeout, status, JSON; or
// the finder in the default executor) and writes their shared log lines; at each step it
// asks the query for its answer. A step a query does not override answers empty().
class DocumentQuery {
public:
    explicit constexpr DocumentQuery(ApiUrl url_kind) : url(url_kind) {}
    const ApiUrl url;

    // The answer from the decoded document of a 200 response.
    virtual py::object answer(const Request& r, py::object data) const = 0;
    // The answer when there is none to give.
    virtual py::object empty(const Request& r) const = 0;
    // Status 404, after the debug line "Package ... not found at ...".
    virtual py::object not_found(const Request& r) const { return empty(r); }
    // Any other status but 200, after the error line "API returned status ...".
    virtual py::object bad_status(const Request& r, py::handle /*status*/) const { return empty(r); }
    // The request timed out, after the error line "Timeout querying ...".
    virtual py::object timed_out(const Request& r) const { return empty(r); }
    // Any other exception of the API path, after the error line "Failed to query ...".
    virtual py::object failed(const Request& r, py::handle /*e*/) const { return empty(r); }
    // No pattern and no unearth, after the debug line "No API pattern and unearth not
    // available for ...".
    virtual py::object no_pattern(const Request& r) const { return empty(r); }
    // The blocking call run in the default executor when the index has no pattern:
    // (callable, *arguments).
    virtual py::tuple unearth_call(const Request& r) const = 0;
    // The answer from that call's result.
    virtual py::object unearth_answer(const Request& /*r*/, py::object result) const { return result; }
    // That call raised: the query's log line, and its answer.
    virtual py::object unearth_failed(const Request& r, py::handle e) const = 0;

protected:
    ~DocumentQuery() = default;
};

Task document_request(Request r, const DocumentQuery* q);

// One kind of existence check: whether an index carries a package (or a version of it).
// check_request asks the API whether the document exists (status 200; the body is not
// read), or the package finder when the index has no pattern. Every failure answers
// False, after the check's own log line where it writes one.
class ExistenceCheck {
public:
    explicit constexpr ExistenceCheck(ApiUrl url_kind) : url(url_kind) {}
    const ApiUrl url;

    // The API request raised (whatever the exception, timeouts included).
    virtual void api_failed(const Request& r, py::handle e) const = 0;
    // No pattern and no unearth.
    virtual void no_pattern(const Request& /*r*/) const {}
    // The blocking call run in the default executor when the index has no pattern:
    // (callable, *arguments); its result is the answer.
    virtual py::tuple unearth_call(const Request& r) const = 0;
    // That call raised.
    virtual void unearth_failed(const Request& /*r*/, py::handle /*e*/) const {}

protected:
    ~ExistenceCheck() = default;
};

Task check_request(Request r, const ExistenceCheck* c);

// debug "No API pattern and unearth not available for {index_url}".
void log_no_pattern(const Request& r);

// A search's info lines, each with one value; null: no line.
struct SearchLines {
    const char* querying_primary = nullptr;    // the package name
    const char* found_in_primary = nullptr;    // the length of the result
    const char* trying_secondaries = nullptr;  // how many secondaries (enabled) there are
    const char* querying_secondary = nullptr;  // the secondary's URL
    const char* found_in_secondary = nullptr;  // the length of the result
};

// One public query over the configured indexes (search_indexes): what it asks each
// index, which result ends the search, what it answers with that result or when no index
// gave one, and the info lines it writes along the way (its SearchLines: none unless
// given).
class IndexSearch {
public:
    static constexpr const char* kQueryingSecondary = "Querying secondary index: {}";
    const SearchLines lines;

    // The per-index query of `url` (an awaitable), e.g.
    // self._get_versions_from_index(package_name, url); `version` is None for
    // version-less queries.
    virtual py::object query(const py::object& self, const py::object& package_name, const py::object& version,
                             const py::object& url) const = 0;
    // Whether an index's result ends the search.
    virtual bool passes(py::handle result) const { return truthy(result); }
    // The public answer from the result that ended the search, found at `url`.
    virtual py::object answer(py::object result, const py::object& /*url*/) const { return result; }
    // The public answer (and its log line) when no index gave a result.
    virtual py::object nothing_found(const py::object& package_name) const = 0;

protected:
    explicit IndexSearch(SearchLines l = {}) : lines(l) {}
    ~IndexSearch() = default;
};

// The multi-index search order: primary first, then the secondaries one at a time when
// settings["use_secondary_urls"] is true; the first result that passes the test wins.
Task search_indexes(py::object self, py::object package_name, py::object version, const IndexSearch* s);

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
