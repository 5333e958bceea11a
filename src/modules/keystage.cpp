// vexal.circuit.keystage: the abstract base of every transpiler pass.
#include "interop.hpp"

namespace {

nb::object pass_init(const vx::Args &) { return nb::none(); }
nb::object pass_run(const vx::Args &) { return nb::none(); }

}  // namespace

NB_MODULE(keystage, m) {
    vx::set_doc(m, "This module contains the TranspilerPass class, an abstract base class for defining "
                   "transpiler passes that transform or optimize quantum circuits. Subclasses must implement "
                   "the run method to process QuantumCircuit objects.\n");

    nb::object abc = vx::import("abc");
    nb::object ABC = abc.attr("ABC");
    nb::object abstractmethod = abc.attr("abstractmethod");
    m.attr("ABC") = ABC;
    m.attr("abstractmethod") = abstractmethod;
    nb::object qcmod = vx::import("vexal.circuit.quantumcircuit");
    m.attr("QuantumCircuit") = qcmod.attr("QuantumCircuit");

    nb::object run = vx::make_function(
        m, {.name = "run",
            .impl = pass_run,
            .params = {{"self"}, {"qc", vx::Conv::Any, "QuantumCircuit"}},
            .doc = "Execute the transpiler pass on a quantum circuit.\n\n"
                   "        Args:\n"
                   "            qc (QuantumCircuit): The quantum circuit to be processed by this transpiler pass.\n"
                   "        ",
            .qualname = "TranspilerPass.run"});
    run = abstractmethod(run);

    nb::object cls = vx::make_class(
        m, "TranspilerPass", nb::make_tuple(ABC),
        "Abstract base class for defining transpiler passes that transform or optimize quantum circuits.\n    ",
        {{.name = "__init__", .impl = pass_init, .params = {{"self"}}}}, {{"run", run}});
    m.attr("TranspilerPass") = cls;
}
