// vexal.circuit.optimize: the gate-compression pass GateCompressor.
//
// module.cpp         the module body, the class, __init__, idx and run,
//                    which walks the ladder of paths (vx::PathChoice), and
//                    what the fast path and the DAG tier need
// fast.cpp           the fast path: run without the networkx DAG, merges
//                    over arrays read from the records, the result in
//                    dag2qc's order, `dag` deferred
// dag_tier.cpp       the DAG tier: the worklist loop over the pass's
//                    networkx DAG, and the replay of a fast run's merges on
//                    the DAG its deferred `dag` builds
// reference.cpp      the reference path: the methods, each working alone on
//                    the pass's state (dag, _idx, compressible_gates), and
//                    the loop that drives them
// worklist.hpp/.cpp  the merge loop without the methods' repeated walks,
//                    shared by the fast path and the DAG tier: the worklist
//                    engine (engines/compress_engine) finds the pair the
//                    walks would find, over a store the loop changes
// merge.cpp          the merged angles of a parameter pair and the identity
//                    test, shared by every path; which matrix functions are
//                    the matrix module's own
// identity_free.cpp  the identity-free records and copy of an exact
//                    circuit, made without the deep copy
#pragma once

#include "dag_api.hpp"
#include "fast_path.hpp"
#include "interop.hpp"
#include "matrix_api.hpp"

namespace optimize {

// Interned names used across the module.
struct Names {
    PyObject *dag, *idx, *_idx, *compressible, *qubits, *params, *qubit, *gates, *nqubits, *ncbits, *params_value;
    PyObject *gmd, *u_mat, *u3_decompose, *np, *qc2dag, *dag2qc;
    PyObject *u, *u3;
    PyObject *method[10];  // the methods run goes through, in kMethods order
};
const Names &names();

// The methods `run` calls on the pass, in order of definition.
inline constexpr const char *kMethods[10] = {
    "remove_identity_gates",
    "is_adjacent_gates",
    "has_adjacent_gates",
    "compress_adjacent_single_qubit_gates",
    "compress_adjacent_single_parameter_qubit_gates",
    "compress_adjacent_two_qubit_gates",
    "compress_adjacent_two_qubit_parameter_gates",
    "compress_adjacent_three_qubit_gates",
    "run_compress_once",
    "idx",
};
enum Method : int {
    M_REMOVE_IDENTITY,
    M_IS_ADJACENT,
    M_HAS_ADJACENT,
    M_ONE,
    M_ONE_PARAM,
    M_TWO,
    M_TWO_PARAM,
    M_THREE,
    M_RUN_ONCE,
    M_IDX,
};

// The five gate tables the pass binds and its rules read, in the order the
// module binds them, and as bits of a GateKinds.
inline constexpr int kRuleTables[] = {vx::dagapi::kOneQubitTable, vx::dagapi::kTwoQubitTable,
                                      vx::dagapi::kOneQubitParamTable, vx::dagapi::kTwoQubitParamTable,
                                      vx::dagapi::kThreeQubitTable};
inline constexpr std::uint8_t kRuleTableBits =
    vx::dagapi::table_bit(vx::dagapi::kOneQubitTable) | vx::dagapi::table_bit(vx::dagapi::kTwoQubitTable) |
    vx::dagapi::table_bit(vx::dagapi::kOneQubitParamTable) | vx::dagapi::table_bit(vx::dagapi::kTwoQubitParamTable) |
    vx::dagapi::table_bit(vx::dagapi::kThreeQubitTable);

// The two parameter tables, as bits of a GateKinds, and the wires of a gate
// of theirs as identity removal and the parameter check read its records:
// 1 (one-qubit table first), 2, or 0 for a gate of neither.
inline constexpr std::uint8_t kParamTableBits =
    vx::dagapi::table_bit(vx::dagapi::kOneQubitParamTable) | vx::dagapi::table_bit(vx::dagapi::kTwoQubitParamTable);
inline Py_ssize_t param_gate_wires(const vx::dagapi::GateKind &k) {
    return k.in(vx::dagapi::kOneQubitParamTable) ? 1 : k.in(vx::dagapi::kTwoQubitParamTable) ? 2 : 0;
}

// The merge rule of a gate name: the first of the five tables, in the order
// run_compress_once tests them, that holds the name.
enum class Rule : std::uint8_t { None, OneQubit, OneParam, TwoQubit, TwoParam, ThreeQubit };
Rule rule_of(const vx::dagapi::GateKind &k);
// The rule's method (M_ONE ... M_THREE); -1 for None.
int rule_method(Rule r);

// self.name(*args), through the pass object (so a subclass's method is used).
nb::object call_method(nb::handle self, PyObject *name, std::initializer_list<nb::handle> args);

// ----------------------------------------------------------------- merge.cpp

// What the merge arithmetic goes through: the module's namespace, and
// whether its names (np, np.allclose, np.eye, np.ndarray, u3_decompose,
// u_mat, gate_matrix_dict) still hold the package's own objects, so that the
// identity test, u_mat's matrices and the U3 angles can be worked out in C++
// without calling them.
struct Maths {
    explicit Maths(PyObject *globals);
    PyObject *globals;
    bool own_allclose;                  // np, np.allclose, np.eye and np.ndarray are numpy's own
    PyObject *own_u3;                   // the package's u3_decompose where the name holds it, else null
    PyObject *own_u_mat;                // the matrix module's u_mat where the name holds it, else null
    const vx::matrixapi::Api *u_offer;  // its entries in C++, with own_u_mat
    PyObject *matrix_u_mat;             // the matrix module's own u_mat, whatever the name holds
    const vx::matrixapi::Api *offer;    // the matrix module's entries in C++
    bool own_gmd;                       // gate_matrix_dict is the matrix module's dict
};

// gate_matrix_dict[gate](*params)
nb::object gate_matrix(const Maths &m, nb::handle gate, nb::handle params);
// Largest distance of a matrix entry from the identity's at which a gate
// still counts as the identity: rounding, not a rotation (see merge.cpp).
inline constexpr double kIdentityTol = 1e-13;
// np.allclose(mat, np.eye(mat.shape[0]), rtol=0, atol=kIdentityTol)
bool is_identity(const Maths &m, nb::handle mat);
// is_identity(m, gate_matrix(m, gate, params)), without the matrix where
// the function is the matrix module's own (u_mat or a one-angle gate's).
bool is_identity_gate(const Maths &m, nb::handle gate, nb::handle params);
// The same for the n doubles `angles` (the parameters as the function's
// float parameters take them), in `identity`, where it is answered in C++
// without the matrix; false otherwise.
bool identity_in_cpp(const Maths &m, nb::handle gate, const double *angles, int n, bool &identity);
// A new list of the n doubles v.
nb::object float_list(const double *v, int n);
// n parameters (at most three exact floats or ints) as a matrix function's
// float parameters take them; false otherwise (no error set).
bool read_angles(PyObject *const *items, Py_ssize_t n, double out[3]);
// The angles of the gate that replaces two equal parameter gates: for a
// one-qubit "u" the U3 angles of u_mat(*params2) @ u_mat(*params1), else the
// sums.
nb::object merged_params(const Maths &m, nb::handle gate, nb::handle params1, nb::handle params2, bool one_qubit);
// The merged angles, or null where the merged gate is the identity
// (is_identity of gate_matrix of the merged angles).
nb::object merged_or_null(const Maths &m, nb::handle gate, nb::handle params1, nb::handle params2, bool one_qubit);
// merged_or_null of two lists of n exact floats, a1 and a2, the merged
// angles (floats) in `out`: Merged, Vanished where the merged gate is the
// identity, or Declined (nothing done) where the angles must be worked out
// with objects.
enum class FloatMerge { Merged, Vanished, Declined };
FloatMerge merge_floats(const Maths &m, nb::handle gate, const double *a1, const double *a2, int n, bool one_qubit,
                        double out[3]);

// Records which of the matrix module's functions are its own (module body).
void remember_matrix();
// One of the matrix module's own functions, which run no code but its own.
bool own_matrix_function(PyObject *f);

// ------------------------------------------------------------- reference.cpp

nb::object remove_identity_gates(const vx::Args &a);
nb::object is_adjacent_gates(const vx::Args &a);
nb::object has_adjacent_gates(const vx::Args &a);
nb::object compress_one(const vx::Args &a);
nb::object compress_one_param(const vx::Args &a);
nb::object compress_two(const vx::Args &a);
nb::object compress_two_param(const vx::Args &a);
nb::object compress_three(const vx::Args &a);
nb::object run_compress_once(const vx::Args &a);

// The refusal of a one-qubit gate node with several predecessors or
// successors (`way`), which the one-qubit rules cannot rewire.
[[noreturn]] void ambiguous_neighbours(PyObject *node, Py_ssize_t count, const char *way);

// The loop of run over self.dag, through the methods.
void reference_loop(nb::handle self);

// The largest number N of a node name "<gate>_<N>_..." in the DAG, or null.
nb::object largest_name_number(nb::handle dag);

// --------------------------------------------------------- identity_free.cpp

// The records of the identity-free copy of `qc`, worked out in C++ where the
// circuit is exact (the pass and the module's names are the path checker's);
// invalid otherwise, with nothing done.
nb::object identity_free_records(const vx::Args &a, nb::handle qc, PyObject *gates);
// The identity-free copy of `qc` (the circuit the methods' copy would be),
// made without the deep copy, where the circuit (its records read into
// `gates`) is exact; invalid otherwise, with nothing done.
nb::object identity_free_copy(const vx::Args &a, nb::handle qc, PyObject *gates);

// ------------------------------------------------------------------ fast.cpp

// run without the networkx DAG: where everything run goes through is the
// package's own and the circuit is exact, the merges are made on arrays read
// from the identity-free records, the result is built from them in the
// order dag2qc gives, and `dag` is left deferred (built, with the same
// merges, when it is first read).  False where declined, with nothing
// done.  `records` are the input's records, checked.
bool fast_run(const vx::Args &a, nb::handle self, nb::handle qc, nb::handle qubits, PyObject *records,
              nb::object &result, vx::PathChoice &path);
// Records what the fast path relies on and puts the `dag` descriptor on the
// class (module body).
void remember_fast(nb::handle module, nb::handle cls);

// -------------------------------------------------------------- dag_tier.cpp

// Records what the DAG tier relies on (module body).
void remember_dag_tier();
// The namespace of vexal.circuit.dag (borrowed).
PyObject *dag_globals();
// The names of networkx the DAG tier relies on are networkx's own.
bool own_networkx();

// The loop of run over self.dag in C++.  False where the pass, the names or
// the DAG hold anything the engine leaves to the methods: the reference
// loop then goes on from the graph as it stands (as it was, or after the
// merges made so far, which are the ones the methods would have made).
bool dag_tier_loop(const vx::Args &a, nb::handle self);

}  // namespace optimize
