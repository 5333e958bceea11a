// morvo instruction lists: parse_morvo_to_gates.
#include "gatework.hpp"
#include "reader_checks.hpp"
#include "records.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace gatework {
namespace {

[[noreturn]] void unrecognized(const std::string &tail) {
    vx::value_error("Sorry, an unrecognized morvo syntax was detected by vexalcircuit. Please contact the developer "
                    "for assistance. " +
                    tail);
}

// An object as a message shows it: its repr, cut short when long.
std::string shown(nb::handle o) {
    std::string r = vx::describe(o.ptr());
    constexpr size_t kMost = 200;
    if (r.size() > kMost) {
        size_t cut = kMost;
        while (cut > 0 && (static_cast<unsigned char>(r[cut]) & 0xc0) == 0x80)
            --cut;  // not inside a UTF-8 sequence
        r = r.substr(0, cut) + "...";
    }
    return r;
}

// Whether `o` can stand for a list of qubit names or the parts of a gate:
// a sequence that is no text.
bool is_parts(nb::handle o) {
    return PySequence_Check(o.ptr()) && !PyUnicode_Check(o.ptr()) && !PyBytes_Check(o.ptr()) &&
           !PyByteArray_Check(o.ptr());
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

// Gates written as (name, parameters...).
struct Parametric {
    const char *morvo;
    int nparams;
    int nqubits;
};
constexpr Parametric kParametric[] = {
    {"u3", 3, 1}, {"U", 3, 1},  {"u1", 1, 1}, {"u2", 2, 1}, {"R", 1, 1},     {"CU", 1, 2},
    {"Rx", 1, 1}, {"Ry", 1, 1}, {"Rz", 1, 1}, {"P", 1, 1},  {"Delay", 1, 1}, {"Measure", 1, 1},
};

class MorvoReader {
public:
    explicit MorvoReader(const vx::Args &a) {
        nb::object pi = vx::getattr(a.global("np"), "pi");
        nb::object two = vx::int_obj(2);
        half_pi_ = vx::own(PyNumber_TrueDivide(pi.ptr(), two.ptr()));
        nb::object neg_pi = vx::own(PyNumber_Negative(pi.ptr()));
        neg_half_pi_ = vx::own(PyNumber_TrueDivide(neg_pi.ptr(), two.ptr()));
    }

    // Reads instruction `k` of the list.
    void read(Py_ssize_t k, nb::handle ins);
    nb::object result() const {
        nb::object qs = vx::own(PySet_New(qubits_.ptr()));
        nb::object cs = vx::own(PySet_New(cbits_.ptr()));
        return vx::own(PyTuple_Pack(3, gates_.ptr(), qs.ptr(), cs.ptr()));
    }

private:
    nb::object gates_ = vx::own(PyList_New(0));
    nb::object qubits_ = vx::own(PyList_New(0));
    nb::object cbits_ = vx::own(PyList_New(0));
    nb::object half_pi_, neg_half_pi_;
    Py_ssize_t at_ = 0;  // the instruction being read, and where it stands
    nb::handle ins_;

    // Refuses the instruction being read: `what` is wrong with it.
    [[noreturn]] void refuse(PyObject *type, const std::string &what) const {
        vx::raise(type, what + ", in instruction " + std::to_string(at_) + " of the morvo list: " + shown(ins_));
    }
    nb::object qubit_index(nb::handle name) const;

    void add(const nb::object &rec) { vx::check(PyList_Append(gates_.ptr(), rec.ptr())); }
    void use(const std::vector<nb::object> &qs) {
        for (const nb::object &q : qs)
            vx::check(PyList_Append(qubits_.ptr(), q.ptr()));
    }
    std::vector<nb::object> qubits(const std::string &gate, nb::handle where, int n);
    bool simple(std::string_view g, nb::handle where);
    void parametric(nb::handle gate, nb::handle where);
    void barrier(nb::handle where);
};

// The index of a qubit name: "Q" followed by decimal digits.
nb::object MorvoReader::qubit_index(nb::handle name) const {
    if (!PyUnicode_Check(name.ptr()))
        refuse(PyExc_TypeError, "a morvo qubit name is a str such as 'Q0', got " + shown(name));
    Py_ssize_t n = PyUnicode_GET_LENGTH(name.ptr());
    bool digits = n > 1 && PyUnicode_ReadChar(name.ptr(), 0) == 'Q';
    for (Py_ssize_t i = 1; i < n && digits; ++i) {
        Py_UCS4 c = PyUnicode_ReadChar(name.ptr(), i);
        digits = c >= '0' && c <= '9';
    }
    if (!digits)
        refuse(PyExc_ValueError,
               "a morvo qubit name is Q followed by a decimal index, such as 'Q0', got " + shown(name));
    nb::object index = vx::own(PyUnicode_Substring(name.ptr(), 1, n));
    PyObject *q = PyLong_FromUnicodeObject(index.ptr(), 10);
    if (!q) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            throw vx::error_already_set{};
        PyErr_Clear();  // more digits than an int may have
        refuse(PyExc_ValueError, "the qubit index of " + shown(name) + " has too many digits");
    }
    return nb::steal(q);
}

// The qubits named by element 1 of an instruction: one name, or a sequence of
// exactly `n` names, no qubit twice.
std::vector<nb::object> MorvoReader::qubits(const std::string &gate, nb::handle where, int n) {
    if (n == 1)
        return {qubit_index(where)};
    const std::string want = "morvo gate " + gate + " takes a sequence of " + std::to_string(n) + " qubit names";
    if (!is_parts(where) && !PyUnicode_Check(where.ptr()))
        refuse(PyExc_TypeError, want + ", got " + shown(where));
    if (PyUnicode_Check(where.ptr()) || vx::length(where) != n)
        refuse(PyExc_ValueError, want + ", got " + shown(where));
    std::vector<nb::object> qs;
    std::vector<PyObject *> raw;
    for (int i = 0; i < n; ++i) {
        qs.push_back(qubit_index(item(where, i)));
        raw.push_back(qs.back().ptr());
    }
    if (PyObject *q = repeated_qubit(raw.data(), n))
        refuse(PyExc_ValueError, "morvo gate " + gate + " uses qubit " + vx::describe(q, false) + " more than once");
    return qs;
}

// A string-named gate of the table; false when the name is none of them.
bool MorvoReader::simple(std::string_view g, nb::handle where) {
    for (const Simple &s : kSimple) {
        if (g != s.morvo)
            continue;
        std::vector<nb::object> qs = qubits(s.morvo, where, s.nqubits);
        nb::object name = vx::str_obj(s.name);
        if (s.nqubits == 1)
            add(pack({name.ptr(), qs[0].ptr()}));
        else if (s.nqubits == 2)
            add(pack({name.ptr(), qs[0].ptr(), qs[1].ptr()}));
        else
            add(pack({name.ptr(), qs[0].ptr(), qs[1].ptr(), qs[2].ptr()}));
        use(qs);
        return true;
    }
    if (g == "X/2" || g == "-X/2" || g == "Y/2" || g == "-Y/2") {
        std::vector<nb::object> qs = qubits(std::string(g), where, 1);
        PyObject *angle = g[0] == '-' ? neg_half_pi_.ptr() : half_pi_.ptr();
        add(pack({vx::str_obj(g.find('X') != std::string_view::npos ? "rx" : "ry").ptr(), angle, qs[0].ptr()}));
        use(qs);
        return true;
    }
    if (g == "Barrier") {
        barrier(where);
        return true;
    }
    return false;
}

// A barrier over any iterable of names, in the order given; its qubits are
// not counted as used.
void MorvoReader::barrier(nb::handle where) {
    if (PyUnicode_Check(where.ptr()))
        refuse(PyExc_ValueError,
               "morvo gate Barrier takes a sequence of qubit names such as ['Q0', 'Q1'], got " + shown(where));
    nb::object qs = vx::own(PyList_New(0));
    PyObject *iter = PyObject_GetIter(where.ptr());
    if (!iter) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw vx::error_already_set{};
        PyErr_Clear();  // not iterable
        refuse(PyExc_TypeError,
               "morvo gate Barrier takes a sequence of qubit names such as ['Q0', 'Q1'], got " + shown(where));
    }
    nb::object it = nb::steal(iter);
    while (nb::object name = vx::next_item(it))
        vx::check(PyList_Append(qs.ptr(), qubit_index(name).ptr()));
    nb::object t = vx::own(PyList_AsTuple(qs.ptr()));
    add(pack({vx::str_obj("barrier").ptr(), t.ptr()}));
}

// A gate written as (name, parameters...): exactly as many parameters as it
// takes, and none that is a number but not finite.
void MorvoReader::parametric(nb::handle gate, nb::handle where) {
    if (!is_parts(gate))
        refuse(PyExc_TypeError, "a morvo gate is a name such as 'H' or a tuple (name, parameters...) such as "
                                "('Rx', 0.5), got " +
                                    shown(gate));
    if (vx::length(gate) == 0)
        refuse(PyExc_ValueError,
               "a morvo gate written as a tuple starts with its name, such as ('Rx', 0.5), got " + shown(gate));
    nb::object name = item(gate, 0);
    const Parametric *form = nullptr;
    for (const Parametric &p : kParametric)
        if (vx::equal(name, vx::str_obj(p.morvo)))
            form = &p;
    if (!form)
        unrecognized(vx::describe(name.ptr(), false));
    std::string label = form->morvo;
    if (label == "CU")
        refuse(PyExc_ValueError, "morvo gate CU is not supported: the package has no controlled-U gate of one angle "
                                 "to read it as; write it with the gates it knows (CZ, CX, Rz, u3, ...)");
    Py_ssize_t nparams = vx::length(gate) - 1;
    if (nparams != form->nparams)
        refuse(PyExc_ValueError, "morvo gate " + label + " takes " + std::to_string(form->nparams) +
                                     " parameter(s), got " + std::to_string(nparams));
    std::vector<nb::object> ps;
    for (int i = 1; i <= form->nparams; ++i) {
        ps.push_back(item(gate, i));
        PyObject *p = ps.back().ptr();
        if (label == "Measure")
            continue;  // the classical bit: checked where the circuit is filled
        const bool delay = label == "Delay";
        if (!real_number(p) && (delay || !PyUnicode_Check(p)))
            refuse(PyExc_TypeError, "morvo gate " + label + ": parameter " + shown(p) + " is not " +
                                        (delay ? "a number of seconds" : "a number or a parameter name"));
        if (is_nonfinite(p))
            refuse(PyExc_ValueError, "morvo gate " + label + ": parameter " + shown(p) + " is not a finite number");
        if (delay && is_negative_number(p))
            refuse(PyExc_ValueError,
                   "morvo gate Delay: duration " + shown(p) + " is negative; a delay lasts 0 seconds or more");
    }
    std::vector<nb::object> qs = qubits(label, where, form->nqubits);
    PyObject *q = qs[0].ptr();
    auto s = [](const char *t) { return vx::str_obj(t); };
    if (label == "u3" || label == "U")
        add(pack({s("u").ptr(), ps[0].ptr(), ps[1].ptr(), ps[2].ptr(), q}));
    else if (label == "u1")
        add(pack({s("p").ptr(), ps[0].ptr(), q}));
    else if (label == "u2")
        add(pack({s("u").ptr(), half_pi_.ptr(), ps[0].ptr(), ps[1].ptr(), q}));
    else if (label == "R")
        add(pack({s("r").ptr(), half_pi_.ptr(), ps[0].ptr(), q}));
    else if (label == "Delay")
        add(pack({s("delay").ptr(), ps[0].ptr(), pack({q}).ptr()}));
    else if (label == "Measure") {
        nb::object ql = vx::own(PyList_New(0)), cl = vx::own(PyList_New(0));
        vx::check(PyList_Append(ql.ptr(), q));
        vx::check(PyList_Append(cl.ptr(), ps[0].ptr()));
        add(pack({s("measure").ptr(), ql.ptr(), cl.ptr()}));
        vx::check(PyList_Append(cbits_.ptr(), ps[0].ptr()));
    } else {  // Rx, Ry, Rz, P
        const char *lower = label == "P" ? "p" : label == "Rx" ? "rx" : label == "Ry" ? "ry" : "rz";
        add(pack({s(lower).ptr(), ps[0].ptr(), q}));
    }
    use(qs);
}

void MorvoReader::read(Py_ssize_t k, nb::handle ins) {
    at_ = k;
    ins_ = ins;
    if (!is_parts(ins))
        refuse(PyExc_TypeError, "a morvo instruction is a tuple or list (gate, qubits) such as ('H', 'Q0')");
    if (vx::length(ins) < 2)
        refuse(PyExc_ValueError, "a morvo instruction holds a gate and its qubits, such as ('H', 'Q0')");
    nb::object gate = item(ins, 0);
    nb::object where = item(ins, 1);
    if (!PyUnicode_Check(gate.ptr()))
        return parametric(gate, where);
    // the name as UTF-8 (a name holding a lone surrogate matches no form)
    Py_ssize_t n;
    const char *utf8 = PyUnicode_AsUTF8AndSize(gate.ptr(), &n);
    PyErr_Clear();
    if (utf8 && simple(std::string_view(utf8, static_cast<size_t>(n)), where))
        return;
    // A string name outside the table; its first character is named.
    unrecognized(PyUnicode_GET_LENGTH(gate.ptr()) ? vx::describe(item(gate, 0).ptr(), false) : std::string());
}

nb::object parse_morvo_to_gates(const vx::Args &a) {
    MorvoReader reader(a);
    // A snapshot: the loop reads the instructions as they were given.
    nb::object list = vx::own(PyList_GetSlice(a.ptr(0), 0, PY_SSIZE_T_MAX));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.ptr()); ++k) {
        vx::poll_signals(k, 1 << 12);
        reader.read(k, PyList_GET_ITEM(list.ptr(), k));
    }
    return reader.result();
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
