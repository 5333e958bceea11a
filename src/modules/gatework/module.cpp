// vexal.circuit.gatework: the gate vocabulary shared by every module, the
// text parsers, the angle functions and the circuit text drawing.
#include "gatework.hpp"

#include <cstring>

namespace gatework {

std::vector<std::pair<const char *, MakeDef>> &registry() {
    static std::vector<std::pair<const char *, MakeDef>> r;
    return r;
}

namespace {

struct Entry {
    const char *name;
    const char *symbol;
};

nb::object make_table(std::initializer_list<Entry> entries) {
    nb::object d = vx::own(PyDict_New());
    for (const Entry &e : entries) {
        nb::object sym = vx::own(PyUnicode_FromString(e.symbol));
        vx::check(PyDict_SetItemString(d.ptr(), e.name, sym.ptr()));
    }
    return d;
}

// The module's functions, in the order the module body creates them.
constexpr const char *kFunctionOrder[] = {
    "convert_gate_info_to_dag_info",
    "is_multiple_of_pi",
    "parse_expression",
    "parse_openqasm2_regs",
    "parse_openqasm2_custom_gates",
    "generate_reg_map",
    "sparse_gate_params_qregs",
    "get_positions_list",
    "parse_openqasm2_to_gates",
    "parse_openqasm2_to_gates_dump",
    "parse_morvo_to_gates",
    "initialize_lines",
    "generate_gates_layerd",
    "format_gates_layerd",
    "add_gates_to_lines",
};

// The registered functions in kFunctionOrder; a function registered but not
// listed, or listed but not registered, or either twice, stops the import.
void define_functions(nb::module_ &m) {
    const auto &reg = registry();
    for (auto &[reg_name, make] : reg) {
        int listed = 0;
        for (const char *name : kFunctionOrder)
            listed += std::strcmp(reg_name, name) == 0;
        if (listed != 1)
            vx::raise(PyExc_ImportError, std::string("gatework: function ") + reg_name +
                                             (listed ? " is listed twice" : " is missing from kFunctionOrder"));
    }
    for (const char *name : kFunctionOrder) {
        int found = 0;
        for (auto &[reg_name, make] : reg)
            if (std::strcmp(reg_name, name) == 0 && ++found == 1)
                vx::def(m, make());
        if (found != 1)
            vx::raise(PyExc_ImportError, std::string("gatework: function ") + name +
                                             (found ? " is registered twice" : " is listed but never registered"));
    }
}

}  // namespace
}  // namespace gatework

NB_MODULE(gatework, m) {
    using gatework::make_table;
    vx::set_doc(m, "The module contains some tools for quantumcircuit.");
    m.attr("np") = vx::import("numpy");
    vx::keep_original(m, "np");
    m.attr("copy") = vx::import("copy");
    m.attr("re") = vx::import("re");

    m.attr("one_qubit_gates_available") = make_table({
        {"id", "I"},
        {"x", "X"},
        {"y", "Y"},
        {"z", "Z"},
        {"s", "S"},
        {"sdg", "Sdg"},
        {"t", "T"},
        {"tdg", "Tdg"},
        {"h", "H"},
        {"sx", "\u221aX"},
        {"sxdg", "\u221aXdg"},
    });
    m.attr("two_qubit_gates_available") = make_table({
        {"cx", "\u25cfX"},
        {"cnot", "\u25cfX"},
        {"cy", "\u25cfY"},
        {"cz", "\u25cfZ"},
        {"swap", "XX"},
        {"iswap", "\u2736\u2736"},
    });
    m.attr("three_qubit_gates_available") = make_table({
        {"ccz", "\u25cf\u25cf\u25cf"},
        {"ccx", "\u25cf\u25cfX"},
        {"cswap", "\u25cfXX"},
    });
    m.attr("one_qubit_parameter_gates_available") = make_table({
        {"rx", "Rx"},
        {"ry", "Ry"},
        {"rz", "Rz"},
        {"p", "P"},
        {"u", "U"},
        {"u3", "U"},
        {"r", "R"},
    });
    m.attr("two_qubit_parameter_gates_available") = make_table({
        {"rxx", "Rxx"},
        {"ryy", "Ryy"},
        {"rzz", "Rzz"},
        {"cp", "\u25cfP"},
    });
    m.attr("functional_gates_available") = make_table({
        {"barrier", "\u2591"},
        {"measure", "M"},
        {"reset", "|0>"},
        {"delay", "Delay"},
    });

    gatework::define_functions(m);
    vx::def(m, gatework::record_wires_def());
}
