// The caskwell module's set-up: what runs when
// vantrel_master.business_layer.packages.caskwell is imported, in the order a Python
// module would run it.
#include "caskwell/caskwell.hpp"

#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

namespace caskwell {

namespace {

void bind(py::module_& m, const char* name, py::object value) { m.attr(name) = std::move(value); }

// True when `import` raised ImportError (the error is cleared); any other exception
// makes the module's import fail.
template <class F>
bool import_failed(F&& attempt) {
    try {
        attempt();
        return false;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return true;
    }
}

void import_standard_modules(py::module_& m) {
    bind(m, "asyncio", py::module_::import("asyncio"));
    bind(m, "re", py::module_::import("re"));
    bind(m, "sys", py::module_::import("sys"));
    py::module_::import("importlib.metadata");
    bind(m, "importlib", py::module_::import("importlib"));
    py::module_ typing = py::module_::import("typing");
    for (const char* name : {"Any", "Dict", "List", "Optional", "Set"}) bind(m, name, typing.attr(name));
}

void import_optional_dependencies(py::module_& m) {
    if (import_failed([&] { bind(m, "aiohttp", py::module_::import("aiohttp")); })) bind(m, "aiohttp", py::none());

    if (import_failed([&] { bind(m, "PackageFinder", import_from("unearth", "PackageFinder", 0)); })) {
        bind(m, "PackageFinder", py::none());
        bind(m, "UNEARTH_AVAILABLE", py::bool_(false));
    } else {
        bind(m, "UNEARTH_AVAILABLE", py::bool_(true));
    }

    if (import_failed([&] {
            bind(m, "SpecifierSet", import_from("packaging.specifiers", "SpecifierSet", 0));
            bind(m, "Version", import_from("packaging.version", "Version", 0));
        })) {
        bind(m, "SpecifierSet", py::none());
        bind(m, "Version", py::none());
        bind(m, "PACKAGING_AVAILABLE", py::bool_(false));
    } else {
        bind(m, "PACKAGING_AVAILABLE", py::bool_(true));
    }
}

void import_companions(py::module_& m) {
    bind(m, "get_logger", import_from("logging_config", "get_logger", 3));
    bind(m, "get_pip_settings", import_from("pip_settings", "get_pip_settings", 1));
    bind(m, "get_pip_api_list", import_from("pip_settings", "get_pip_api_list", 1));
    bind(m, "logger", g("get_logger")(module_name()));
}

// Limits of the metadata fallback for indexes without an API pattern (finder.cpp), read
// when used so that they can be changed at run time.
void define_limits(py::module_& m) {
    bind(m, "_WHEEL_DOWNLOAD_SECONDS", py::float_(60.0));
    bind(m, "_METADATA_REQUEST_SECONDS", py::float_(10.0));
    bind(m, "_MAX_METADATA_BYTES", py::int_(16 * 1024 * 1024));
}

// The class's methods in the order of its interface.
constexpr const char* kMethodOrder[] = {
    "__init__",
    "_get_session",
    "close",
    "_normalize_name",
    "_get_current_distributions",
    "clear_distributions_cache",
    "check_specifier_in_dist",
    "_get_pip_settings",
    "_get_pip_api_list",
    "_normalize_url",
    "_get_api_pattern_for_index",
    "find_repo_for_package",
    "find_repo_for_package_version",
    "_package_exists_in_index",
    "_package_version_exists_in_index",
    "_package_version_exists_via_unearth",
    "get_versions",
    "_get_versions_from_index",
    "_get_versions_via_unearth",
    "get_extras",
    "_get_extras_from_index",
    "_get_extras_via_unearth",
    "get_dependencies",
    "_get_dependencies_from_index",
    "_get_dependencies_via_unearth",
    "_parse_requirement",
    "get_package_info",
    "_get_package_info_from_index",
};

void define_caskwell_class(py::module_& m) {
    Methods methods;
    client_methods(methods);
    distribution_methods(methods);
    discovery_methods(methods);
    version_methods(methods);
    metadata_methods(methods);
    info_methods(methods);
    std::map<std::string, pyco::Def*> by_name;
    for (pyco::Def& def : methods) by_name[def.name] = &def;
    if (by_name.size() != std::size(kMethodOrder)) throw std::logic_error("Caskwell: unexpected set of methods");

    pyco::ClassBuilder cls("Caskwell", module_name(), py::tuple(),
                           "Package-index query client of the package manager: versions, extras, dependencies and "
                           "summaries of packages on the configured indexes, which index carries a package, and "
                           "whether the running interpreter satisfies a requirement.");
    for (const char* name : kMethodOrder) {
        auto it = by_name.find(name);
        if (it == by_name.end()) throw std::logic_error(std::string("Caskwell: no method ") + name);
        cls.method(std::move(*it->second));
    }
    bind(m, "Caskwell", cls.build());
}

void setup(py::module_ m) {
    set_module(m.ptr());
    import_standard_modules(m);
    import_optional_dependencies(m);
    import_companions(m);
    define_limits(m);
    define_placeholder_classes(m);
    define_caskwell_class(m);
}

}  // namespace

}  // namespace caskwell

PYCO_MODULE(caskwell,
            "Package-index query client of the Business Layer's package manager (class Caskwell).",
            caskwell::setup)
