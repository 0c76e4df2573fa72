// Installed distributions and specifier checks against the running interpreter, and the
// placeholder distribution classes that stand for standard-library modules.
#include "caskwell/caskwell.hpp"

namespace caskwell {

namespace {

using pyco::arg;
using pyco::Check;

// --- placeholders ------------------------------------------------------------------------

py::object dummy_metadata_get_all(py::object self, py::object args, py::object kwargs) { return py::list(); }

py::object dummy_dist_init(py::object self, py::object name, py::object version) {
    py::object metadata = g("_dummy_metadata")();
    self.attr("metadata") = metadata;
    metadata[S("Name")] = name;
    metadata[S("Version")] = version;
    return py::none();
}

// --- the distributions cache -------------------------------------------------------------

py::object get_current_distributions(py::object self) {
    py::object cached = self.attr("_distributions_cache");
    if (!cached.is_none()) return cached;
    py::dict distributions;
    self.attr("_distributions_cache") = distributions;
    py::object normalize = self.attr("_normalize_name");
    for (py::handle dist : attr_of("importlib", "metadata").attr("distributions")()) {
        py::object name = get_or_none(dist.attr("metadata"), S("Name"));
        if (!PyUnicode_Check(name.ptr())) {
            // Metadata without a Name (a broken or half-removed installation) names no
            // distribution a requirement could refer to.
            debug("Skipping an installed distribution without a name: {}", py::getattr(dist, "_path", py::none()));
            continue;
        }
        if (!PyUnicode_CheckExact(name.ptr())) name = str_of(name);
        distributions[normalize(name)] = dist;
    }
    py::object sys = g("sys");
    py::object stdlib_names = py::getattr(sys, "stdlib_module_names", py::list());
    py::object sys_version = sys.attr("version").attr("split")()[py::int_(0)];
    py::object dummy = g("_dummy_dist");
    for (py::handle module_name : stdlib_names) {
        py::object key = normalize(module_name);
        if (!distributions.contains(key)) distributions[key] = dummy(module_name, sys_version);
    }
    return distributions;
}

py::object clear_distributions_cache(py::object self) {
    self.attr("_distributions_cache") = py::none();
    return py::none();
}

py::object check_specifier_in_dist(py::object self, py::object package_name, py::object version_spec,
                                   py::object extras) {
    if (!truthy(g("PACKAGING_AVAILABLE"))) {
        debug("packaging library not available, cannot check distributions");
        return py::none();
    }
    py::object distributions = self.attr("_get_current_distributions")();
    py::object dist = get_or_none(distributions, self.attr("_normalize_name")(package_name));
    if (dist.is_none()) return py::none();
    py::object metadata = dist.attr("metadata");
    py::object dist_version_str = get_or_none(metadata, S("Version"));
    if (!truthy(dist_version_str)) return py::none();

    if (truthy(version_spec) && truthy(version_spec.attr("strip")())) {
        try {
            py::object specifier = g("SpecifierSet")(version_spec);
            py::object dist_version = g("Version")(dist_version_str);
            int contained = PySequence_Contains(specifier.ptr(), dist_version.ptr());
            if (contained < 0) throw py::error_already_set();
            if (!contained) return py::none();
        } catch (py::error_already_set& e) {
            if (!pyco::is_exception(e)) throw;
            debug("Error checking version spec for {}: {}", package_name, e.value());
            return py::none();
        }
    }

    if (truthy(extras)) {
        py::object requires_dist = metadata.attr("get_all")(S("Requires-Dist"));
        py::set available;
        if (truthy(requires_dist)) {
            for (py::handle extra : extras_of(requires_dist)) available.add(extra.attr("lower")());
        }
        for (py::handle extra : extras) {
            if (!available.contains(extra.attr("lower")())) return py::none();
        }
    }
    return dist_version_str;
}

}  // namespace

void define_placeholder_classes(py::module_ m) {
    py::object name = module_name();
    m.attr("_dummy_metadata") =
        pyco::ClassBuilder("_dummy_metadata", name, py::make_tuple(builtin("dict")),
                           "Metadata of a placeholder distribution: a dict that declares no requirements.")
            .method(pyco::fn<dummy_metadata_get_all>("get_all",
                                                     {"self", pyco::star_args("args"), pyco::star_kwargs("kwargs")},
                                                     "Always a new empty list."))
            .build();
    py::object str = builtin("str");
    m.attr("_dummy_dist") =
        pyco::ClassBuilder("_dummy_dist", name, py::tuple(),
                           "Stands for a standard-library module as if it were an installed distribution.")
            .annotate("metadata", dict_of(str, str))
            .method(pyco::fn<dummy_dist_init>("__init__", {"self", "name", "version"}))
            .build();
}

void distribution_methods(Methods& out) {
    py::object str = builtin("str");
    py::object distribution = attr_of("importlib", "metadata").attr("Distribution");
    out.push_back(pyco::fn<get_current_distributions>(
                      "_get_current_distributions", {"self"},
                      "Installed distributions (and standard-library placeholders) by normalised name, built once.")
                      .annotated(annotations({{"return", dict_of(str, distribution)}})));
    out.push_back(pyco::fn<clear_distributions_cache>(
        "clear_distributions_cache", {"self"}, "Forget the installed distributions; the next check scans them again."));
    out.push_back(pyco::fn<check_specifier_in_dist>("check_specifier_in_dist",
                                                    {"self", arg("package_name").type(Check::Str),
                                                     arg("version_spec").type(Check::Str),
                                                     arg("extras").type(Check::List, true).def_none()},
                                                    "The installed version when the interpreter satisfies the "
                                                    "requirement (version specifier and extras), else None.")
                      .annotated(annotations({{"extras", optional_of(list_of(str))}, {"return", optional_of(str)}})));
}

}  // namespace caskwell
