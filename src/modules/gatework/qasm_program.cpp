// The OpenQASM 2.0 program reader: parse_openqasm2_to_gates.
//
// A pipeline over the module's functions, called by name: registers, custom
// gates, then per line the statement split and the operand look-up.  While
// those names hold the module's own functions, the split and the look-up run
// in C++ on the line (the fast path); otherwise the functions the names hold are called.
#include "qasm_reader.hpp"
#include "reader_checks.hpp"

#include <array>

namespace gatework::qasm {
namespace {

// The first word of a statement that matched no form: up to a blank or "(".
nb::object first_word(PyObject *src, const View &v, Py_ssize_t b, Py_ssize_t e) {
    Py_ssize_t i = b;
    while (i < e && !is_space_cp(v[i]) && v[i] != '(')
        ++i;
    if (i == b)
        while (i < e && !is_space_cp(v[i]))
            ++i;
    return substr(src, b, i);
}

// One statement as the reader sees it after the split.
struct Statement {
    nb::object word;  // the gate word, invalid when the line has no form
    const GateInfo *g = nullptr;
    PyObject *psrc = nullptr;  // where the parameter text lies
    Py_ssize_t p0 = -1, p1 = -1;
    nb::object qregs;  // the operand text, when the split was a Python call
    Split sp;          // where the pieces lie, when the split ran in C++
};

class ProgramReader {
public:
    ProgramReader(const vx::Args &a, nb::handle qmap, nb::handle cmap, const CustomGates &custom)
        : rd_(a, custom, false), qmap_(qmap), cmap_(cmap), qlook_(qmap, "quantum"), clook_(cmap, "classical") {
        sparse_ = a.global("sparse_gate_params_qregs");
        positions_fn_ = a.global("get_positions_list");
        own_sparse_ = vx::is_function_of(sparse_.ptr(), sparse_gate_params_qregs);
        own_positions_ = vx::is_function_of(positions_fn_.ptr(), get_positions_list);
        measure_word_ = vx::str_obj("measure");
    }

    void read_line(PyObject *line);
    nb::object finish() { return rd_.finish(true); }

private:
    Reader rd_;
    nb::handle qmap_, cmap_;
    RegisterLookup qlook_, clook_;
    nb::handle sparse_, positions_fn_;
    bool own_sparse_, own_positions_;
    nb::object measure_word_;
    std::vector<nb::object> params_;
    std::vector<Operand> ops_;
    std::vector<nb::object> keep_;
    std::vector<PyObject *> actual_;
    Positions pos_;

    void split_fast(PyObject *line, const View &v, Py_ssize_t b, Py_ssize_t e, Statement &st);
    void split_by_call(PyObject *line, Py_ssize_t b, Py_ssize_t e, Statement &st);
    void read_params(const Statement &st);
    void read_positions(PyObject *line, const Statement &st);
    void positions_by_call(nb::handle word, nb::handle text);
    void skip(nb::handle word, PyObject *line, Py_ssize_t b, Py_ssize_t e);
    void dispatch(const Statement &st);
    void one_per_qubit(nb::handle word, const GateInfo &g);
    void wires(nb::handle word, const GateInfo &g, int n);
    void barrier(const GateInfo &g);
    void measure(nb::handle word, const GateInfo &g);
    void custom(nb::handle word, const GateInfo &g);
};

void ProgramReader::split_fast(PyObject *line, const View &v, Py_ssize_t b, Py_ssize_t e, Statement &st) {
    st.sp = split_statement(v, b, e);
    if (st.sp.form == Form::Measure) {
        st.word = measure_word_;
    } else if (st.sp.form == Form::Statement) {
        if (v.ascii) {
            st.g = &rd_.info_ascii(v.bytes(st.sp.g0, st.sp.g1));
            st.word = st.g->word;
        } else {
            st.word = substr(line, st.sp.g0, st.sp.g1);
        }
        st.p0 = st.sp.p0;
        st.p1 = st.sp.p1;
    }
}

void ProgramReader::split_by_call(PyObject *line, Py_ssize_t b, Py_ssize_t e, Statement &st) {
    nb::object stmt = substr(line, b, e);
    nb::object t = vx::own(PyObject_CallOneArg(sparse_.ptr(), stmt.ptr()));
    rd_.foreign_code_ran();
    nb::object seq = vx::own(PySequence_Fast(t.ptr(), "sparse_gate_params_qregs must return a sequence"));
    if (PySequence_Fast_GET_SIZE(seq.ptr()) != 3)
        vx::value_error("sparse_gate_params_qregs must return three items");
    nb::handle gw = PySequence_Fast_GET_ITEM(seq.ptr(), 0);
    if (!gw.is_none())
        st.word = nb::borrow(gw);
    nb::handle params = PySequence_Fast_GET_ITEM(seq.ptr(), 1);
    st.qregs = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 2));
    if (!params.is_none()) {
        if (!PyUnicode_Check(params.ptr()))
            vx::type_error("the parameter text must be a str");
        keep_.push_back(nb::borrow(params));
        st.psrc = params.ptr();
        st.p0 = 0;
        st.p1 = PyUnicode_GET_LENGTH(params.ptr());
    }
}

// Parameters, checked against the gate before any is evaluated: a gate
// without parameters takes none.  A custom gate's count is checked with its
// qubits.
void ProgramReader::read_params(const Statement &st) {
    const GateInfo &g = *st.g;
    GateInfo pinfo = g;
    if (g.row == kMeasure || g.row == kCustom)
        pinfo.nparams = -1;
    rd_.params_of(st.word, pinfo, st.psrc, st.p0, st.p1, params_);
}

// The operands, read strictly (a statement whose operand text is anything but
// a comma-separated list of registers and indexed qubits is refused), then
// looked up; a register that is not declared and an index past a register's
// end are refused too.  `get_positions_list`, when replaced, then gives the
// positions.
void ProgramReader::read_positions(PyObject *line, const Statement &st) {
    bool is_measure = st.g->row == kMeasure;
    ops_.clear();
    bool ok;
    nb::object text = st.qregs;  // the operand text the split gave
    if (!own_sparse_) {
        ok = PyUnicode_Check(text.ptr()) && parse_operands(text.ptr(), 0, PyUnicode_GET_LENGTH(text.ptr()), ops_);
    } else if (st.sp.form == Form::Measure) {
        ok = parse_operands(line, st.sp.q0, st.sp.q1, ops_) && parse_operands(line, st.sp.c0, st.sp.c1, ops_);
    } else {
        ok = parse_operands(line, st.sp.q0, st.sp.q1, ops_);
    }
    if (!ok)
        unrecognized(st.word);
    resolve_positions(is_measure, ops_, qlook_, clook_, pos_, true);
    if (own_positions_)
        return;
    if (own_sparse_ && st.sp.form == Form::Measure) {
        nb::object q = substr(line, st.sp.q0, st.sp.q1), c = substr(line, st.sp.c0, st.sp.c1);
        text = vx::own(PyUnicode_FromFormat("%U,%U", q.ptr(), c.ptr()));
    } else if (own_sparse_) {
        text = substr(line, st.sp.q0, st.sp.q1);
    }
    positions_by_call(st.word, text);
}

void ProgramReader::positions_by_call(nb::handle word, nb::handle text) {
    std::array<PyObject *, 4> args{word.ptr(), text.ptr(), qmap_.ptr(), cmap_.ptr()};
    nb::object list = vx::own(PyObject_Vectorcall(positions_fn_.ptr(), args.data(), 4, nullptr));
    rd_.foreign_code_ran();
    pos_.clear();
    pos_.start.push_back(0);
    nb::object outer = vx::own(PySequence_Fast(list.ptr(), "positions must be a sequence"));
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(outer.ptr()); ++k) {
        nb::object inner =
            vx::own(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.ptr(), k), "positions must be lists"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(inner.ptr()); ++i)
            pos_.flat.push_back(PySequence_Fast_GET_ITEM(inner.ptr(), i));
        pos_.start.push_back(pos_.flat.size());
        keep_.push_back(inner);
    }
    keep_.push_back(outer);
}

// The gate word of a line that is no statement, or of a skipped statement:
// the version, include and opaque lines pass, unless a statement follows on
// the line (it would be lost with it); a register declaration or gate
// definition is still here only because the earlier stages could not read it.
void ProgramReader::skip(nb::handle word, PyObject *line, Py_ssize_t b, Py_ssize_t e) {
    bool declares = false;
    if (!rd_.is_skip(word, declares))
        unrecognized(word);
    if (declares || hides_statement(View(line), b, e))
        unrecognized(substr(line, b, e));
}

void ProgramReader::read_line(PyObject *line) {
    View v(line);
    bool tabs_only = true;
    for (Py_ssize_t i = 0; i < v.n && tabs_only; ++i)
        tabs_only = v[i] == '\t';
    if (tabs_only)
        return;
    Py_ssize_t b = 0, e = comment_start(v, 0, v.n);
    strip_range(v, b, e);

    keep_.clear();
    rd_.new_statement(line, b, e);
    Statement st;
    st.psrc = line;
    if (own_sparse_)
        split_fast(line, v, b, e, st);
    else
        split_by_call(line, b, e, st);
    if (!st.word.is_valid()) {
        if (b < e)
            skip(first_word(line, v, b, e), line, b, e);
        return;
    }
    if (!PyUnicode_Check(st.word.ptr()))
        unrecognized(st.word);
    if (!st.g)
        st.g = &rd_.info(st.word);
    if (st.g->row == kSkip)
        return skip(st.word, line, b, e);
    if (st.g->row == kUnknown)
        unrecognized(st.word);
    read_params(st);
    read_positions(line, st);
    dispatch(st);
}

void ProgramReader::dispatch(const Statement &st) {
    const GateInfo &g = *st.g;
    switch (g.row) {
    case kOne:
    case kParam1:
    case kU12:
    case kDelay:
    case kReset: one_per_qubit(st.word, g); break;
    case kTwo:
    case kParam2:
    case kCu1: wires(st.word, g, 2); break;
    case kThree: wires(st.word, g, 3); break;
    case kBarrier: barrier(g); break;
    case kMeasure: measure(st.word, g); break;
    case kCustom: custom(st.word, g); break;
    default: unrecognized(st.word);
    }
}

// One operand, a qubit or a whole register: one record per qubit.
void ProgramReader::one_per_qubit(nb::handle word, const GateInfo &g) {
    if (pos_.count() != 1)
        count_error(word, 1, static_cast<long long>(pos_.count()));
    for (PyObject *q : pos_.flat) {
        nb::object rec;
        if (g.row == kOne || g.row == kReset)
            rec = Reader::tuple({g.name.ptr(), q});
        else if (g.row == kU12 && g.is_u1)
            rec = Reader::tuple({g.name.ptr(), rd_.zero_.ptr(), rd_.zero_.ptr(), params_[0].ptr(), q});
        else if (g.row == kU12)
            rec = Reader::tuple({g.name.ptr(), rd_.half_pi_.ptr(), params_[0].ptr(), params_[1].ptr(), q});
        else if (g.row == kDelay) {
            nb::object qt = vx::own(PyTuple_Pack(1, q));
            rec = Reader::tuple({g.name.ptr()}, &params_, {qt.ptr()});
        } else
            rec = Reader::tuple({g.name.ptr()}, &params_, {q});
        rd_.append(rec);
        rd_.use_qubit(q);
    }
}

// A gate on n = 2 or 3 operands, all registers of one length or single
// qubits: one record per index, its parameters (if any) before the qubits.
void ProgramReader::wires(nb::handle word, const GateInfo &g, int n) {
    const size_t nops = pos_.count();
    if (nops != static_cast<size_t>(n))
        count_error(word, n, static_cast<long long>(nops));
    for (int k = 1; k < n; ++k)
        if (pos_.len(k) != pos_.len(0))
            length_error(word, n);
    for (size_t i = 0; i < pos_.len(0); ++i) {
        PyObject *qs[3] = {pos_.at(0, i), pos_.at(1, i), n == 3 ? pos_.at(2, i) : nullptr};
        if (PyObject *q = repeated_qubit(qs, n))
            repeated_qubit_error(text(word), q);
        const std::vector<nb::object> *params = g.row == kTwo || g.row == kThree ? nullptr : &params_;
        if (n == 2)
            rd_.append(Reader::tuple({g.name.ptr()}, params, {qs[0], qs[1]}));
        else
            rd_.append(Reader::tuple({g.name.ptr()}, params, {qs[0], qs[1], qs[2]}));
        for (int k = 0; k < n; ++k)
            rd_.use_qubit(qs[k]);
    }
}

void ProgramReader::barrier(const GateInfo &g) {
    nb::object qs = vx::own(PyTuple_New(static_cast<Py_ssize_t>(pos_.flat.size())));
    for (size_t k = 0; k < pos_.flat.size(); ++k) {
        Py_INCREF(pos_.flat[k]);
        PyTuple_SET_ITEM(qs.ptr(), static_cast<Py_ssize_t>(k), pos_.flat[k]);
    }
    rd_.append(Reader::tuple({g.name.ptr(), qs.ptr()}));
}

void ProgramReader::measure(nb::handle word, const GateInfo &g) {
    if (pos_.count() < 2)
        measure_parse_error();
    if (pos_.len(0) != pos_.len(1))
        length_error(word, 2);
    for (size_t i = 0; i < pos_.len(0); ++i) {
        PyObject *q = pos_.at(0, i), *c = pos_.at(1, i);
        nb::object ql = vx::own(PyList_New(1)), cl = vx::own(PyList_New(1));
        Py_INCREF(q);
        PyList_SET_ITEM(ql.ptr(), 0, q);
        Py_INCREF(c);
        PyList_SET_ITEM(cl.ptr(), 0, c);
        rd_.append(Reader::tuple({g.name.ptr(), ql.ptr(), cl.ptr()}));
        rd_.use_qubit(q);
        rd_.use_cbit(c);
    }
}

void ProgramReader::custom(nb::handle word, const GateInfo &g) {
    size_t nops = pos_.count();
    check_custom_call(word, g, params_.size(), nops);
    for (size_t k = 1; k < nops; ++k)
        if (pos_.len(k) != pos_.len(0))
            vx::value_error("custom gate " + text(word) + " sparse failer!");
    size_t n = nops ? pos_.len(0) : 0;
    for (size_t i = 0; i < n; ++i) {
        actual_.clear();
        for (size_t k = 0; k < nops; ++k)
            actual_.push_back(pos_.at(k, i));
        rd_.expand(word, g, params_, actual_);
        for (PyObject *q : actual_)
            rd_.use_qubit(q);
    }
}

// A register declared twice would leave its first indices unused and its
// operands pointing at the second declaration: refused.
void refuse_redeclared(nb::handle regs, const char *kind) {
    nb::object seen = vx::own(PySet_New(nullptr));
    nb::object it = vx::own(PyObject_GetIter(regs.ptr()));
    while (nb::object item = vx::next_item(it)) {
        if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
            continue;  // generate_reg_map says what is wrong with it
        PyObject *name = PyTuple_GET_ITEM(item.ptr(), 0);
        int found = PySet_Contains(seen.ptr(), name);
        vx::check(found);
        if (found)
            vx::value_error(std::string(kind) + " register " + text(name) + " is declared more than once");
        vx::check(PySet_Add(seen.ptr(), name));
    }
}

nb::object parse_openqasm2_to_gates(const vx::Args &a) {
    nb::object regs = vx::own(PyObject_CallOneArg(a.global("parse_openqasm2_regs").ptr(), a.ptr(0)));
    nb::object qregs = vx::own(PySequence_GetItem(regs.ptr(), 0));
    nb::object cregs = vx::own(PySequence_GetItem(regs.ptr(), 1));
    nb::object text = vx::own(PySequence_GetItem(regs.ptr(), 2));
    refuse_redeclared(qregs, "quantum");
    refuse_redeclared(cregs, "classical");
    if (vx::length(qregs) > 1 || vx::length(cregs) > 1)
        vx::print_str("Multiple registers detected. For subsequent compilation, the program will merge them. "
                      "The mapping is as follows:");
    nb::handle gen = a.global("generate_reg_map");
    nb::object qmap = gen(qregs, "Qubit");
    nb::object cmap = gen(cregs, "Cbit");
    CustomGates custom = read_custom_gates(a, text);

    ProgramReader reader(a, qmap, cmap, custom);
    return read_lines(reader, custom.text);
}

vx::FunctionDef parse_openqasm2_to_gates_def() {
    return {.name = "parse_openqasm2_to_gates", .impl = parse_openqasm2_to_gates, .params = {{"openqasm2_str"}}};
}
Register reg_parse_openqasm2_to_gates("parse_openqasm2_to_gates", parse_openqasm2_to_gates_def);

}  // namespace
}  // namespace gatework::qasm
