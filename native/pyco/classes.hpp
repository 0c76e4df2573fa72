// pyco's classes: created by calling the metaclass of their bases with a complete
// namespace, as a class statement would.
// Part of pyco.hpp, the one header every translation unit includes.
#pragma once

#include "pyco/functions.hpp"

#include <string>

namespace pyco {

class ClassBuilder {
public:
    // `module` is the module name (str) used for __module__ of the class and methods.
    ClassBuilder(const char* name, py::handle module, py::tuple bases = py::tuple(), const char* doc = nullptr);

    ClassBuilder& method(Def def);
    ClassBuilder& static_method(Def def);
    ClassBuilder& class_method(Def def);
    ClassBuilder& property(Def getter);
    ClassBuilder& property(Def getter, Def setter);
    ClassBuilder& attr(const char* name, py::object value);
    ClassBuilder& annotate(const char* name, py::object type);

    // Calls the metaclass with the name, bases and the complete namespace.
    py::object build();

private:
    py::object function(Def def);

    std::string name_;
    py::object module_;
    py::tuple bases_;
    py::dict ns_;
    py::dict annotations_;
};

}  // namespace pyco
