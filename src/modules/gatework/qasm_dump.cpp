// The single-register OpenQASM 2.0 reader: parse_openqasm2_to_gates_dump.
// It dispatches each line on its first word and reads the statement with no
// register maps: a qubit is the index written in the program, which must lie
// in the one declared register.
#include "qasm_reader.hpp"
#include "reader_checks.hpp"

namespace gatework::qasm {
namespace {

// The one declared register of a kind: its name and size, or none.
struct SingleRegister {
    const char *kind;
    nb::object name, size;
    SingleRegister(nb::handle list, const char *kind_) : kind(kind_) {
        if (vx::length(list) == 0)
            return;
        nb::object first = vx::own(PySequence_GetItem(list.ptr(), 0));
        name = vx::own(PySequence_GetItem(first.ptr(), 0));
        size = vx::own(PySequence_GetItem(first.ptr(), 1));
    }
    bool declared() const { return name.is_valid(); }
    bool is(nb::handle other) const { return declared() && vx::equal(other, name); }

    // The index of an indexed operand, which must name this register.
    nb::object index(const Operand &op) const {
        nb::object opname = substr(op.src, op.n0, op.n1);
        if (!is(opname))
            undeclared_register(kind, opname);
        nb::object idx = vx::own(PyLong_FromUnicodeObject(substr(op.src, op.d0, op.d1).ptr(), 10));
        if (!vx::less(idx, size))
            index_out_of_range(kind, name, idx, size);
        return idx;
    }
    // 0, 1, ..., size - 1
    std::vector<nb::object> all() const {
        std::vector<nb::object> out;
        for (long long i = 0, n = checked_size(size); i < n; ++i)
            out.push_back(vx::int_obj(i));
        return out;
    }
};

// One line as the reader sees it.
struct Line {
    PyObject *src;
    View v;
    Py_ssize_t b = 0, e = 0;      // the stripped line
    Py_ssize_t c0 = 0, c1 = 0;    // its code, before any comment, stripped
    nb::object word;              // its first word, cut before "("
    Split sp;                     // the statement before any comment
    Py_ssize_t p0 = -1, p1 = -1;  // the parameter text, -1 when none
    std::vector<Operand> ops;
};

class DumpReader {
public:
    DumpReader(const vx::Args &a, nb::handle qregs, nb::handle cregs, const CustomGates &custom)
        : rd_(a, custom, true), qreg_(qregs, "quantum"), creg_(cregs, "classical") {}

    void read_line(PyObject *line);
    nb::object finish() { return rd_.finish(false); }

private:
    Reader rd_;
    SingleRegister qreg_, creg_;
    std::vector<nb::object> params_;
    std::vector<PyObject *> actual_;

    void skip(const Line &ln, const GateInfo &g);
    void split(Line &ln);
    std::vector<nb::object> indexed_qubits(const Line &ln, size_t k);
    nb::object one_expression(const Line &ln, const GateInfo &g);
    void no_params(const Line &ln, const GateInfo &g);
    void fixed(const Line &ln, const GateInfo &g);
    void parameter_gate(const Line &ln, const GateInfo &g);
    void two_qubit_parameter_gate(const Line &ln, const GateInfo &g);
    void barrier(const Line &ln, const GateInfo &g);
    void measure(const Line &ln, const GateInfo &g);
    void whole_measure(const Line &ln, const GateInfo &g);
    void custom(const Line &ln, const GateInfo &g);
};

// Lines that are no statements: the version, include, opaque and comment
// lines pass (unless a statement follows on the line, which would be lost
// with it), and so do the register declarations that the register step
// read; a declaration or definition it could not read is refused.
void DumpReader::skip(const Line &ln, const GateInfo &g) {
    if (!g.declares) {
        if (hides_statement(ln.v, ln.c0, ln.c1))
            unrecognized(substr(ln.src, ln.c0, ln.c1));
        return;
    }
    bool other = false;
    bool reg = equals_text(ln.word, "qreg") || equals_text(ln.word, "creg");
    if (!reg || !declares(ln.v, other))
        unrecognized(substr(ln.src, ln.c0, ln.c1));
}

// The statement form of the line's code; the parameter text and operands.
void DumpReader::split(Line &ln) {
    ln.sp = split_statement(ln.v, ln.c0, ln.c1);
    bool ok = false;
    if (ln.sp.form == Form::Measure) {
        ok = parse_operands(ln.src, ln.sp.q0, ln.sp.q1, ln.ops) && parse_operands(ln.src, ln.sp.c0, ln.sp.c1, ln.ops);
    } else if (ln.sp.form == Form::Statement) {
        ok = vx::equal(substr(ln.src, ln.sp.g0, ln.sp.g1), ln.word) &&
             parse_operands(ln.src, ln.sp.q0, ln.sp.q1, ln.ops);
        Py_ssize_t pb = ln.sp.p0, pe = ln.sp.p1;
        if (pb >= 0)
            strip_range(ln.v, pb, pe);
        if (pb < pe) {  // an empty parenthesised text gives no parameters
            ln.p0 = ln.sp.p0;
            ln.p1 = ln.sp.p1;
        }
    }
    if (!ok)
        unrecognized(ln.word);
}

// The qubits of a gate that takes `k` of them, each written with its index.
std::vector<nb::object> DumpReader::indexed_qubits(const Line &ln, size_t k) {
    if (k && ln.ops.size() != k)
        count_error(ln.word, static_cast<long long>(k), static_cast<long long>(ln.ops.size()));
    std::vector<nb::object> qs;
    for (const Operand &op : ln.ops) {
        if (!op.indexed)
            vx::value_error(text(ln.word) + " takes indexed qubits, not the whole register " +
                            text(substr(op.src, op.n0, op.n1)));
        qs.push_back(qreg_.index(op));
    }
    std::vector<PyObject *> raw;
    for (const nb::object &q : qs)
        raw.push_back(q.ptr());
    if (PyObject *q = k > 1 ? repeated_qubit(raw.data(), static_cast<int>(k)) : nullptr)
        repeated_qubit_error(text(ln.word), q);
    return qs;
}

// The one parameter of a gate (or the duration of a delay).
nb::object DumpReader::one_expression(const Line &ln, const GateInfo &g) {
    GateInfo one = g;
    one.nparams = 1;
    rd_.params_of(ln.word, one, ln.src, ln.p0, ln.p1, params_);
    return params_[0];
}

// Refuses parameters on a statement that takes none.
void DumpReader::no_params(const Line &ln, const GateInfo &g) {
    GateInfo none = g;
    none.nparams = 0;
    rd_.params_of(ln.word, none, ln.src, ln.p0, ln.p1, params_);
}

void DumpReader::read_line(PyObject *line) {
    Line ln{line, View(line)};
    ln.e = ln.v.n;
    strip_range(ln.v, ln.b, ln.e);
    if (ln.b == ln.e)
        return;  // empty, tabs or blanks only
    Py_ssize_t cut = ln.b;
    while (cut < ln.e && !is_space_cp(ln.v[cut]) && ln.v[cut] != '(')
        ++cut;
    ln.word = substr(line, ln.b, cut);
    ln.c0 = ln.b;
    ln.c1 = comment_start(ln.v, ln.b, ln.e);
    strip_range(ln.v, ln.c0, ln.c1);
    rd_.new_statement(line, ln.c0, ln.c1);
    const GateInfo &g = rd_.info(ln.word);
    if (g.row == kSkip)
        return skip(ln, g);
    if (g.row == kUnknown)
        unrecognized(ln.word);
    split(ln);
    switch (g.row) {
    case kOne:
    case kTwo:
    case kThree:
    case kReset: fixed(ln, g); break;
    case kParam1:
    case kU12: parameter_gate(ln, g); break;
    case kParam2:
    case kCu1: two_qubit_parameter_gate(ln, g); break;
    case kDelay: {
        nb::object q = indexed_qubits(ln, 1)[0];
        nb::object d = one_expression(ln, g);
        nb::object qt = vx::own(PyTuple_Pack(1, q.ptr()));
        rd_.append(Reader::tuple({g.name.ptr(), d.ptr(), qt.ptr()}));
        rd_.use_qubit(q.ptr());
        break;
    }
    case kBarrier: barrier(ln, g); break;
    case kMeasure: measure(ln, g); break;
    case kCustom: custom(ln, g); break;
    default: unrecognized(ln.word);
    }
}

// Gates without parameters.
void DumpReader::fixed(const Line &ln, const GateInfo &g) {
    no_params(ln, g);
    size_t k = g.row == kTwo ? 2 : g.row == kThree ? 3 : 1;
    std::vector<nb::object> qs = indexed_qubits(ln, k);
    rd_.append(Reader::tuple({g.name.ptr()}, &qs));
    for (const nb::object &q : qs)
        rd_.use_qubit(q.ptr());
}

void DumpReader::parameter_gate(const Line &ln, const GateInfo &g) {
    nb::object q = indexed_qubits(ln, 1)[0];
    if (g.is_u || g.is_r || g.row == kU12) {
        rd_.params_of(ln.word, g, ln.src, ln.p0, ln.p1, params_);
        if (g.row == kU12 && g.is_u1)
            rd_.append(Reader::tuple({g.name.ptr(), rd_.zero_.ptr(), rd_.zero_.ptr(), params_[0].ptr(), q.ptr()}));
        else if (g.row == kU12)
            rd_.append(Reader::tuple({g.name.ptr(), rd_.half_pi_.ptr(), params_[0].ptr(), params_[1].ptr(), q.ptr()}));
        else
            rd_.append(Reader::tuple({g.name.ptr()}, &params_, {q.ptr()}));
    } else {
        nb::object angle = one_expression(ln, g);
        rd_.append(Reader::tuple({g.name.ptr(), angle.ptr(), q.ptr()}));
    }
    rd_.use_qubit(q.ptr());
}

void DumpReader::two_qubit_parameter_gate(const Line &ln, const GateInfo &g) {
    std::vector<nb::object> qs = indexed_qubits(ln, 2);
    nb::object angle = one_expression(ln, g);
    rd_.append(Reader::tuple({g.name.ptr(), angle.ptr(), qs[0].ptr(), qs[1].ptr()}));
    rd_.use_qubit(qs[0].ptr());
    rd_.use_qubit(qs[1].ptr());
}

// A barrier over indexed qubits and whole registers, in the order written;
// the only whole register is the declared one.
void DumpReader::barrier(const Line &ln, const GateInfo &g) {
    no_params(ln, g);
    std::vector<nb::object> qs;
    for (const Operand &op : ln.ops) {
        if (op.indexed) {
            qs.push_back(qreg_.index(op));
            continue;
        }
        if (!qreg_.is(substr(op.src, op.n0, op.n1)))
            unrecognized_line(ln.src);
        for (nb::object &q : qreg_.all())
            qs.push_back(std::move(q));
    }
    nb::object t = vx::own(PyTuple_New(static_cast<Py_ssize_t>(qs.size())));
    for (size_t k = 0; k < qs.size(); ++k)
        PyTuple_SET_ITEM(t.ptr(), static_cast<Py_ssize_t>(k), qs[k].release().ptr());
    rd_.append(Reader::tuple({g.name.ptr(), t.ptr()}));
}

// measure q[i] -> c[j] (or measure q[i], c[j], as the other reader reads it),
// or a whole register into a whole register.
void DumpReader::measure(const Line &ln, const GateInfo &g) {
    if (ln.ops.size() != 2)
        measure_parse_error();
    const Operand &qo = ln.ops[0], &co = ln.ops[1];
    if (!qo.indexed && !co.indexed)
        return whole_measure(ln, g);
    if (!qo.indexed || !co.indexed)
        count_error(ln.word, 2, 1);
    nb::object q = qreg_.index(qo), c = creg_.index(co);
    nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
    PyList_SET_ITEM(ql.ptr(), 0, nb::object(q).release().ptr());
    PyList_SET_ITEM(cl.ptr(), 0, nb::object(c).release().ptr());
    rd_.append(Reader::tuple({g.name.ptr(), ql.ptr(), cl.ptr()}));
    rd_.use_qubit(q.ptr());
    rd_.use_cbit(c.ptr());
}

// measure q -> c over the declared registers, which must be as large.
void DumpReader::whole_measure(const Line &ln, const GateInfo &g) {
    const Operand &qo = ln.ops[0], &co = ln.ops[1];
    nb::object qn = substr(qo.src, qo.n0, qo.n1), cn = substr(co.src, co.n0, co.n1);
    if (!qreg_.declared() || !creg_.declared())
        unrecognized(substr(ln.src, ln.c0, ln.c1));
    if (!(vx::equal(qn, qreg_.name) && vx::equal(cn, creg_.name) && vx::equal(qreg_.size, creg_.size))) {
        std::string pad(21, ' ');
        vx::value_error("check qreg name " + text(qreg_.name) + " and parse q_name " + text(qn) + " is consistent," +
                        pad + "\ncheck creg name " + text(creg_.name) + " and parse c_name " + text(cn) +
                        " is consistent," + pad + "\ncheck qregs size " + text(qreg_.size) + " and cregs size " +
                        text(creg_.size) + " is equal.");
    }
    for (const nb::object &idx : qreg_.all()) {
        nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
        PyList_SET_ITEM(ql.ptr(), 0, nb::object(idx).release().ptr());
        PyList_SET_ITEM(cl.ptr(), 0, nb::object(idx).release().ptr());
        rd_.append(Reader::tuple({g.name.ptr(), ql.ptr(), cl.ptr()}));
    }
}

// A custom gate call: its body applied once, to the qubits written.
void DumpReader::custom(const Line &ln, const GateInfo &g) {
    GateInfo any = g;
    any.nparams = -1;
    rd_.params_of(ln.word, any, ln.src, ln.p0, ln.p1, params_);
    std::vector<nb::object> qs = indexed_qubits(ln, 0);
    check_custom_call(ln.word, g, params_.size(), qs.size());
    actual_.clear();
    for (const nb::object &q : qs)
        actual_.push_back(q.ptr());
    rd_.expand(ln.word, g, params_, actual_);
    for (PyObject *q : actual_)
        rd_.use_qubit(q);
}

nb::object parse_openqasm2_to_gates_dump(const vx::Args &a) {
    nb::object regs = vx::own(PyObject_CallOneArg(a.global("parse_openqasm2_regs").ptr(), a.ptr(0)));
    nb::object qregs = vx::own(PySequence_GetItem(regs.ptr(), 0));
    nb::object cregs = vx::own(PySequence_GetItem(regs.ptr(), 1));
    if (vx::length(qregs) > 1 || vx::length(cregs) > 1)
        vx::value_error("Sorry, currently only one quantum or classical register definition is supported");
    CustomGates custom = read_custom_gates(a, a[0]);

    DumpReader reader(a, qregs, cregs, custom);
    return read_lines(reader, custom.text);
}

vx::FunctionDef parse_openqasm2_to_gates_dump_def() {
    return {
        .name = "parse_openqasm2_to_gates_dump", .impl = parse_openqasm2_to_gates_dump, .params = {{"openqasm2_str"}}};
}
Register reg_parse_openqasm2_to_gates_dump("parse_openqasm2_to_gates_dump", parse_openqasm2_to_gates_dump_def);

}  // namespace
}  // namespace gatework::qasm
