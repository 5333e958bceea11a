// morvo instruction lists: parse_morvo_to_gates.
#include "gatework.hpp"

#include <cstring>
#include <string>

namespace gatework {
namespace {

nb::object str_of(const char *s) { return vx::own(PyUnicode_FromString(s)); }

// The index of a qubit name "Q<index>": the text between the first Q and the
// next one, read by int().
nb::object qubit_index(nb::handle name) {
    nb::object parts = vx::own(PyObject_CallMethod(name.ptr(), "split", "s", "Q"));
    nb::object piece = vx::own(PySequence_GetItem(parts.ptr(), 1));
    return vx::own(PyNumber_Long(piece.ptr()));
}

nb::object item(nb::handle seq, Py_ssize_t i) { return vx::own(PySequence_GetItem(seq.ptr(), i)); }

nb::object pack(std::initializer_list<PyObject *> items) {
    nb::object t = vx::own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t k = 0;
    for (PyObject *o : items) {
        Py_INCREF(o);
        PyTuple_SET_ITEM(t.ptr(), k++, o);
    }
    return t;
}

struct Simple {
    const char *morvo;
    const char *name;
    int nqubits;
};

// String-named gates without parameters.
constexpr Simple kSimple[] = {
    {"X", "x", 1},         {"Y", "y", 1},     {"Z", "z", 1},     {"S", "s", 1},         {"T", "t", 1},
    {"H", "h", 1},         {"I", "id", 1},    {"-S", "sdg", 1},  {"-T", "tdg", 1},      {"Z/2", "s", 1},
    {"-Z/2", "sdg", 1},    {"Cnot", "cx", 2}, {"CX", "cx", 2},   {"CY", "cy", 2},       {"CZ", "cz", 2},
    {"SWAP", "swap", 2},   {"CCZ", "ccz", 3}, {"CCX", "ccx", 3}, {"CSWAP", "cswap", 3}, {"iSWAP", "iswap", 2},
    {"Reset", "reset", 1},
};

nb::object parse_morvo_to_gates(const vx::Args &a) {
    nb::object gates = vx::own(PyList_New(0));
    nb::object qubits = vx::own(PyList_New(0));
    nb::object cbits = vx::own(PyList_New(0));
    nb::object pi = a.global("np").attr("pi");
    nb::object two = vx::own(PyLong_FromLong(2));
    nb::object half_pi = vx::own(PyNumber_TrueDivide(pi.ptr(), two.ptr()));
    nb::object neg_pi = vx::own(PyNumber_Negative(pi.ptr()));
    nb::object neg_half_pi = vx::own(PyNumber_TrueDivide(neg_pi.ptr(), two.ptr()));

    // A snapshot: the loop runs no code that could change what it reads.
    nb::object list = vx::own(PyList_GetSlice(a.ptr(0), 0, PY_SSIZE_T_MAX));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.ptr()); ++k) {
        nb::object ins = nb::borrow(PyList_GET_ITEM(list.ptr(), k));
        nb::object gate = item(ins, 0);
        nb::object where = item(ins, 1);
        auto use = [&](nb::handle q) { vx::check(PyList_Append(qubits.ptr(), q.ptr())); };
        auto add = [&](nb::object rec) { vx::check(PyList_Append(gates.ptr(), rec.ptr())); };

        if (PyUnicode_Check(gate.ptr())) {
            std::string_view g = vx::utf8(gate);
            bool done = false;
            for (const Simple &s : kSimple) {
                if (g != s.morvo)
                    continue;
                nb::object name = str_of(s.name);
                if (s.nqubits == 1) {
                    nb::object q = qubit_index(where);
                    add(pack({name.ptr(), q.ptr()}));
                    use(q);
                } else {
                    nb::object q0 = qubit_index(item(where, 0));
                    nb::object q1 = qubit_index(item(where, 1));
                    if (s.nqubits == 2) {
                        add(pack({name.ptr(), q0.ptr(), q1.ptr()}));
                        use(q0);
                        use(q1);
                    } else {
                        nb::object q2 = qubit_index(item(where, 2));
                        add(pack({name.ptr(), q0.ptr(), q1.ptr(), q2.ptr()}));
                        use(q0);
                        use(q1);
                        use(q2);
                    }
                }
                done = true;
                break;
            }
            if (done)
                continue;
            PyObject *angle = nullptr;
            const char *rot = nullptr;
            if (g == "X/2" || g == "-X/2")
                rot = "rx";
            else if (g == "Y/2" || g == "-Y/2")
                rot = "ry";
            if (rot) {
                angle = g[0] == '-' ? neg_half_pi.ptr() : half_pi.ptr();
                nb::object q = qubit_index(where);
                add(pack({str_of(rot).ptr(), angle, q.ptr()}));
                use(q);
                continue;
            }
            if (g == "Barrier") {
                nb::object qs = vx::own(PyList_New(0));
                nb::object it = vx::own(PyObject_GetIter(where.ptr()));
                while (PyObject *raw = PyIter_Next(it.ptr())) {
                    nb::object name = nb::steal(raw);
                    vx::check(PyList_Append(qs.ptr(), qubit_index(name).ptr()));
                }
                if (PyErr_Occurred())
                    throw vx::error_already_set{};
                nb::object t = vx::own(PyList_AsTuple(qs.ptr()));
                add(pack({str_of("barrier").ptr(), t.ptr()}));
                continue;
            }
            // A string name outside the table; its first character is named.
            nb::object first = item(gate, 0);
            nb::object fs = vx::own(PyObject_Str(first.ptr()));
            vx::value_error(
                "Sorry, an unrecognized morvo syntax was detected by vexalcircuit. Please contact the developer for "
                "assistance. " +
                std::string(vx::utf8(fs)));
        }

        // A gate with parameters: (name, parameters...).
        nb::object name = item(gate, 0);
        auto is = [&](const char *t) {
            nb::object s = str_of(t);
            int r = PyObject_RichCompareBool(name.ptr(), s.ptr(), Py_EQ);
            vx::check(r);
            return r != 0;
        };
        if (is("u3") || is("U")) {
            nb::object q = qubit_index(where);
            add(pack({str_of("u").ptr(), item(gate, 1).ptr(), item(gate, 2).ptr(), item(gate, 3).ptr(), q.ptr()}));
            use(q);
        } else if (is("u1")) {
            nb::object q = qubit_index(where);
            add(pack({str_of("p").ptr(), item(gate, 1).ptr(), q.ptr()}));
            use(q);
        } else if (is("u2")) {
            nb::object q = qubit_index(where);
            add(pack({str_of("u").ptr(), half_pi.ptr(), item(gate, 1).ptr(), item(gate, 2).ptr(), q.ptr()}));
            use(q);
        } else if (is("R")) {
            nb::object q = qubit_index(where);
            add(pack({str_of("r").ptr(), half_pi.ptr(), item(gate, 1).ptr(), q.ptr()}));
            use(q);
        } else if (is("CU")) {
            nb::object q0 = qubit_index(item(where, 0));
            nb::object q1 = qubit_index(item(where, 1));
            add(pack({str_of("cu").ptr(), item(gate, 1).ptr(), q0.ptr(), q1.ptr()}));
            use(q0);
            use(q1);
        } else if (is("Rx") || is("Ry") || is("Rz") || is("P")) {
            const char *n = is("Rx") ? "rx" : is("Ry") ? "ry" : is("Rz") ? "rz" : "p";
            nb::object q = qubit_index(where);
            add(pack({str_of(n).ptr(), item(gate, 1).ptr(), q.ptr()}));
            use(q);
        } else if (is("Delay")) {
            nb::object q = qubit_index(where);
            nb::object qt = pack({q.ptr()});
            add(pack({str_of("delay").ptr(), item(gate, 1).ptr(), qt.ptr()}));
            use(q);
        } else if (is("Measure")) {
            nb::object q = qubit_index(where);
            nb::object c = item(gate, 1);
            nb::object ql = vx::own(PyList_New(0)), cl = vx::own(PyList_New(0));
            vx::check(PyList_Append(ql.ptr(), q.ptr()));
            vx::check(PyList_Append(cl.ptr(), c.ptr()));
            add(pack({str_of("measure").ptr(), ql.ptr(), cl.ptr()}));
            use(q);
            vx::check(PyList_Append(cbits.ptr(), c.ptr()));
        } else {
            nb::object fs = vx::own(PyObject_Str(name.ptr()));
            vx::value_error(
                "Sorry, an unrecognized morvo syntax was detected by vexalcircuit. Please contact the developer for "
                "assistance. " +
                std::string(vx::utf8(fs)));
        }
    }
    nb::object qs = vx::own(PySet_New(qubits.ptr()));
    nb::object cs = vx::own(PySet_New(cbits.ptr()));
    return vx::own(PyTuple_Pack(3, gates.ptr(), qs.ptr(), cs.ptr()));
}

vx::FunctionDef parse_morvo_to_gates_def() {
    return {.name = "parse_morvo_to_gates",
            .impl = parse_morvo_to_gates,
            .params = {{"morvo", vx::Conv::List}},
            .return_annotation = "tuple[list, list, list]"};
}
Register reg_parse_morvo_to_gates("parse_morvo_to_gates", parse_morvo_to_gates_def);

}  // namespace
}  // namespace gatework
