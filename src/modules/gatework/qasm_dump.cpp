// The single-register OpenQASM 2.0 reader: parse_openqasm2_to_gates_dump.
// It reads each statement from its line: the gate word is the first word,
// the qubits are the bracketed numbers and the angles the parenthesised text.
#include "qasm_reader.hpp"

namespace gatework::qasm {
namespace {

// The whole-register measure "measure\s+(.+?)\s*->\s*(.+)" matched at the
// start of [0, n); false when it does not match.
bool match_whole_measure(const View &v, Py_ssize_t n, Py_ssize_t g[4]) {
    if (!has_text_at(v, 0, n, "measure"))
        return false;
    Py_ssize_t w = 7;
    while (w < n && is_space_cp(v[w]))
        ++w;
    if (w == 7)
        return false;
    auto try_from = [&](Py_ssize_t s, Py_ssize_t first_arrow) -> bool {
        for (Py_ssize_t k = first_arrow; k + 1 < n; ++k) {
            if (v[k] != '-' || v[k + 1] != '>' || k + 2 >= n)
                continue;
            if (v[k] == '\n')
                return false;
            Py_ssize_t ge = k;
            while (ge > s + 1 && is_space_cp(v[ge - 1]))
                --ge;
            Py_ssize_t c = k + 2;
            while (c < n && is_space_cp(v[c]))
                ++c;
            if (c == n)
                c = n - 1;
            g[0] = s;
            g[1] = ge;
            g[2] = c;
            g[3] = n;
            return true;
        }
        return false;
    };
    if (w < n && try_from(w, w + 1))
        return true;
    if (w - 7 >= 2 && has_text_at(v, w, n, "->") && w + 2 < n)
        return try_from(w - 1, w);
    return false;
}

// The one declared register of a kind: its name and size, or none.
struct SingleRegister {
    nb::object name, size;
    explicit SingleRegister(nb::handle list) {
        if (length(list) == 0)
            return;
        nb::object first = vx::own(PySequence_GetItem(list.ptr(), 0));
        name = vx::own(PySequence_GetItem(first.ptr(), 0));
        size = vx::own(PySequence_GetItem(first.ptr(), 1));
    }
    bool declared() const { return name.is_valid(); }
};

// One line as the reader sees it.
struct Line {
    PyObject *src;
    View v;
    Py_ssize_t b, e;              // the stripped line
    nb::object word;              // the gate word
    std::vector<nb::object> pos;  // the bracketed numbers
    Py_ssize_t p0 = -1, p1 = -1;  // the first parenthesised text
};

class DumpReader {
public:
    DumpReader(const vx::Args &a, nb::handle qregs, nb::handle cregs, nb::handle custom_gates)
        : rd_(a, custom_gates, true), qreg_(qregs), creg_(cregs) {}

    void read_line(PyObject *line);
    nb::object finish() { return rd_.finish(false); }

private:
    Reader rd_;
    SingleRegister qreg_, creg_;
    std::vector<nb::object> params_;
    std::vector<PyObject *> actual_;

    void scan(Line &ln);
    void need(const Line &ln, size_t k);
    nb::object one_expression(const Line &ln);
    void one_qubit(const Line &ln, const GateInfo &g);
    void parameter_gate(const Line &ln, const GateInfo &g);
    void two_qubit_parameter_gate(const Line &ln, const GateInfo &g);
    void barrier(const Line &ln, const GateInfo &g);
    void measure(const Line &ln, const GateInfo &g);
    void whole_measure(const Line &ln, const GateInfo &g);
    void custom(const Line &ln, const GateInfo &g);
};

// The bracketed numbers (\[(\d+)\] everywhere in the line) and the first
// parenthesised text (\(([^)]+)\)).
void DumpReader::scan(Line &ln) {
    const View &v = ln.v;
    for (Py_ssize_t i = 0; i < v.n; ++i) {
        if (v[i] != '[')
            continue;
        Py_ssize_t j = i + 1;
        while (j < v.n && is_digit_cp(v[j]))
            ++j;
        if (j > i + 1 && j < v.n && v[j] == ']') {
            nb::object digits = substr(ln.src, i + 1, j);
            ln.pos.push_back(vx::own(PyLong_FromUnicodeObject(digits.ptr(), 10)));
            i = j;
        }
    }
    for (Py_ssize_t i = 0; i < v.n; ++i) {
        if (v[i] != '(' || i + 1 >= v.n || v[i + 1] == ')')
            continue;
        Py_ssize_t c = i + 1;
        while (c < v.n && v[c] != ')')
            ++c;
        if (c < v.n) {
            ln.p0 = i + 1;
            ln.p1 = c;
        }
        break;
    }
}

void DumpReader::need(const Line &ln, size_t k) {
    if (ln.pos.size() < k)
        count_error(ln.word, static_cast<long long>(k), static_cast<long long>(ln.pos.size()));
}

nb::object DumpReader::one_expression(const Line &ln) {
    if (ln.p0 < 0)
        wrong_param_count(ln.word, 1, 0);
    return rd_.eval(ln.src, ln.p0, ln.p1);
}

void DumpReader::read_line(PyObject *line) {
    Line ln{line, View(line), 0, 0};
    ln.e = ln.v.n;
    strip_range(ln.v, ln.b, ln.e);
    if (ln.b == ln.e)
        return;  // empty, tabs or blanks only
    Py_ssize_t we = ln.b;
    while (we < ln.e && !is_space_cp(ln.v[we]))
        ++we;
    Py_ssize_t cut = ln.b;
    while (cut < we && ln.v[cut] != '(')
        ++cut;
    ln.word = substr(line, ln.b, cut);
    scan(ln);
    const GateInfo &g = rd_.info(ln.word);
    switch (g.row) {
    case kOne:
    case kTwo:
    case kThree:
    case kReset: one_qubit(ln, g); break;
    case kParam1:
    case kU12: parameter_gate(ln, g); break;
    case kParam2:
    case kCu1: two_qubit_parameter_gate(ln, g); break;
    case kDelay: {
        need(ln, 1);
        nb::object d = one_expression(ln);
        nb::object qt = vx::own(PyTuple_Pack(1, ln.pos.back().ptr()));
        rd_.append(Reader::tuple({g.name.ptr(), d.ptr(), qt.ptr()}));
        rd_.use_qubit(ln.pos.back().ptr());
        break;
    }
    case kBarrier: barrier(ln, g); break;
    case kMeasure: measure(ln, g); break;
    case kSkip: break;
    case kCustom: custom(ln, g); break;
    default: unrecognized(ln.word);
    }
}

// Gates without parameters: the first bracketed numbers, as many as the gate takes.
void DumpReader::one_qubit(const Line &ln, const GateInfo &g) {
    size_t k = g.row == kTwo ? 2 : g.row == kThree ? 3 : 1;
    need(ln, k);
    std::vector<PyObject *> qs;
    for (size_t i = 0; i < k; ++i)
        qs.push_back(ln.pos[i].ptr());
    nb::object rec = k == 1   ? Reader::tuple({g.name.ptr(), qs[0]})
                     : k == 2 ? Reader::tuple({g.name.ptr(), qs[0], qs[1]})
                              : Reader::tuple({g.name.ptr(), qs[0], qs[1], qs[2]});
    rd_.append(rec);
    for (PyObject *q : qs)
        rd_.use_qubit(q);
}

void DumpReader::parameter_gate(const Line &ln, const GateInfo &g) {
    need(ln, 1);
    PyObject *q = ln.pos.back().ptr();
    if (g.is_u || g.is_r || g.row == kU12) {
        rd_.params_of(ln.word, g, ln.src, ln.p0, ln.p1, params_);
        if (g.row == kU12 && g.is_u1)
            rd_.append(Reader::tuple({g.name.ptr(), rd_.zero_.ptr(), rd_.zero_.ptr(), params_[0].ptr(), q}));
        else if (g.row == kU12)
            rd_.append(Reader::tuple({g.name.ptr(), rd_.half_pi_.ptr(), params_[0].ptr(), params_[1].ptr(), q}));
        else
            rd_.append(Reader::tuple({g.name.ptr()}, &params_, {q}));
    } else {
        nb::object angle = one_expression(ln);
        rd_.append(Reader::tuple({g.name.ptr(), angle.ptr(), q}));
    }
    rd_.use_qubit(q);
}

void DumpReader::two_qubit_parameter_gate(const Line &ln, const GateInfo &g) {
    need(ln, 2);
    nb::object angle = one_expression(ln);
    PyObject *q0 = ln.pos[ln.pos.size() - 2].ptr(), *q1 = ln.pos.back().ptr();
    rd_.append(Reader::tuple({g.name.ptr(), angle.ptr(), q0, q1}));
    rd_.use_qubit(q0);
    rd_.use_qubit(q1);
}

void DumpReader::barrier(const Line &ln, const GateInfo &g) {
    if (!ln.pos.empty()) {
        nb::object qs = vx::own(PyTuple_New(static_cast<Py_ssize_t>(ln.pos.size())));
        for (size_t k = 0; k < ln.pos.size(); ++k)
            PyTuple_SET_ITEM(qs.ptr(), static_cast<Py_ssize_t>(k), nb::object(ln.pos[k]).release().ptr());
        rd_.append(Reader::tuple({g.name.ptr(), qs.ptr()}));
        return;
    }
    Py_ssize_t se = ln.e;
    while (se > ln.b && ln.v[se - 1] == ';')
        --se;
    Py_ssize_t ob = ln.b + 7, oe = se;  // after the keyword "barrier"
    strip_range(ln.v, ob, oe);
    nb::object operand = substr(ln.src, ob, oe);
    int eq = qreg_.declared() ? PyObject_RichCompareBool(operand.ptr(), qreg_.name.ptr(), Py_EQ) : 0;
    vx::check(eq);
    if (!eq)
        unrecognized_line(ln.src);
    long long n = checked_size(qreg_.size);
    nb::object qs = vx::own(PyTuple_New(n > 0 ? n : 0));
    for (long long i = 0; i < n; ++i)
        PyTuple_SET_ITEM(qs.ptr(), i, int_of(i).release().ptr());
    rd_.append(Reader::tuple({g.name.ptr(), qs.ptr()}));
}

void DumpReader::measure(const Line &ln, const GateInfo &g) {
    if (ln.pos.empty()) {
        whole_measure(ln, g);
        return;
    }
    need(ln, 2);
    nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
    PyList_SET_ITEM(ql.ptr(), 0, nb::object(ln.pos[0]).release().ptr());
    PyList_SET_ITEM(cl.ptr(), 0, nb::object(ln.pos[1]).release().ptr());
    rd_.append(Reader::tuple({g.name.ptr(), ql.ptr(), cl.ptr()}));
    rd_.use_qubit(ln.pos[0].ptr());
    rd_.use_cbit(ln.pos[1].ptr());
}

void DumpReader::whole_measure(const Line &ln, const GateInfo &g) {
    Py_ssize_t se = ln.e;
    while (se > ln.b && ln.v[se - 1] == ';')
        --se;
    nb::object body = substr(ln.src, ln.b, se);
    View bv(body.ptr());
    Py_ssize_t mg[4];
    if (!match_whole_measure(bv, bv.n, mg))
        unrecognized_line(ln.src);
    Py_ssize_t qb = mg[0], qe = mg[1], cb = mg[2], ce = mg[3];
    strip_range(bv, qb, qe);
    strip_range(bv, cb, ce);
    nb::object qn = substr(body.ptr(), qb, qe), cn = substr(body.ptr(), cb, ce);
    if (!qreg_.declared() || !creg_.declared())
        unrecognized_line(ln.src);
    int ok1 = PyObject_RichCompareBool(qn.ptr(), qreg_.name.ptr(), Py_EQ);
    vx::check(ok1);
    int ok2 = PyObject_RichCompareBool(cn.ptr(), creg_.name.ptr(), Py_EQ);
    vx::check(ok2);
    int ok3 = PyObject_RichCompareBool(qreg_.size.ptr(), creg_.size.ptr(), Py_EQ);
    vx::check(ok3);
    if (!(ok1 && ok2 && ok3)) {
        std::string pad(21, ' ');
        vx::value_error("check qreg name " + to_std(qreg_.name) + " and parse q_name " + to_std(qn) +
                        " is consistent," + pad + "\ncheck creg name " + to_std(creg_.name) + " and parse c_name " +
                        to_std(cn) + " is consistent," + pad + "\ncheck qregs size " + to_std(qreg_.size) +
                        " and cregs size " + to_std(creg_.size) + " is equal.");
    }
    long long n = checked_size(qreg_.size);
    for (long long i = 0; i < n; ++i) {
        nb::object idx = int_of(i);
        nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
        PyList_SET_ITEM(ql.ptr(), 0, nb::object(idx).release().ptr());
        PyList_SET_ITEM(cl.ptr(), 0, nb::object(idx).release().ptr());
        rd_.append(Reader::tuple({g.name.ptr(), ql.ptr(), cl.ptr()}));
    }
}

// A custom gate call: applied once, to the whole position list.
void DumpReader::custom(const Line &ln, const GateInfo &g) {
    params_.clear();
    if (ln.p0 >= 0) {
        try {
            GateInfo any = g;
            any.nparams = -1;
            rd_.params_of(ln.word, any, ln.src, ln.p0, ln.p1, params_);
        } catch (vx::error_already_set &) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                throw;
            PyErr_Clear();
            params_.clear();
        }
    }
    actual_.clear();
    for (const nb::object &q : ln.pos)
        actual_.push_back(q.ptr());
    rd_.expand(ln.word, g, params_, actual_);
    for (PyObject *q : actual_)
        rd_.use_qubit(q);
}

nb::object parse_openqasm2_to_gates_dump(const vx::Args &a) {
    nb::object regs = vx::own(PyObject_CallOneArg(a.global("parse_openqasm2_regs").ptr(), a.ptr(0)));
    nb::object qregs = vx::own(PySequence_GetItem(regs.ptr(), 0));
    nb::object cregs = vx::own(PySequence_GetItem(regs.ptr(), 1));
    if (length(qregs) > 1 || length(cregs) > 1)
        vx::value_error("Sorry, currently only one quantum or classical register definition is supported");
    nb::object custom = vx::own(PyObject_CallOneArg(a.global("parse_openqasm2_custom_gates").ptr(), a.ptr(0)));
    nb::object custom_gates = vx::own(PySequence_GetItem(custom.ptr(), 0));
    nb::object text = vx::own(PySequence_GetItem(custom.ptr(), 1));

    DumpReader reader(a, qregs, cregs, custom_gates);
    nb::object lines = split_lines(stripped(text));
    for (Py_ssize_t ln = 0; ln < PyList_GET_SIZE(lines.ptr()); ++ln)
        reader.read_line(PyList_GET_ITEM(lines.ptr(), ln));
    return reader.finish();
}

vx::FunctionDef parse_openqasm2_to_gates_dump_def() {
    return {
        .name = "parse_openqasm2_to_gates_dump", .impl = parse_openqasm2_to_gates_dump, .params = {{"openqasm2_str"}}};
}
Register reg_parse_openqasm2_to_gates_dump("parse_openqasm2_to_gates_dump", parse_openqasm2_to_gates_dump_def);

}  // namespace
}  // namespace gatework::qasm
