// The merge loop shared by the fast path and the DAG tier of
// GateCompressor; see worklist.hpp.
#include "worklist.hpp"

#include <algorithm>
#include <stdexcept>

namespace optimize {

using vx::dagapi::GateKinds;

bool read_wires(PyObject *o, std::vector<ce::Wire> &out) {
    out.clear();
    if (!PyList_CheckExact(o))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
        long long v;
        if (!vx::exact_ll(PyList_GET_ITEM(o, i), v) || v < 0 || v > ce::kMaxWire)
            return false;
        out.push_back(static_cast<ce::Wire>(v));
    }
    return true;
}

nb::object int_list(std::span<const ce::Wire> ws) {
    nb::object l = vx::own(PyList_New(static_cast<Py_ssize_t>(ws.size())));
    for (size_t i = 0; i < ws.size(); ++i)
        PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(i), vx::int_obj(ws[i]).release().ptr());
    return l;
}

nb::object Merged::object() const {
    switch (kind) {
    case Floats: return float_list(v, n);
    case Object: return list;
    default: return {};
    }
}

void Script::add(ce::NodeId n1, const Merged *p) {
    if (values_.size() + 3 > UINT32_MAX || objects_.size() >= UINT32_MAX)
        throw std::length_error("too many merges");
    firsts_.push_back(n1);
    if (!p) {
        refs_.push_back({0, kNoParams, 0});
    } else if (p->kind == Merged::Floats) {
        refs_.push_back({static_cast<std::uint32_t>(values_.size()), kFloats, p->n});
        for (int i = 0; i < p->n; ++i)
            values_.push_back(p->v[i]);
    } else if (p->kind == Merged::Object) {
        refs_.push_back({static_cast<std::uint32_t>(objects_.size()), kObject, 0});
        objects_.push_back(p->list);
    } else {
        refs_.push_back({0, kVanished, 0});
    }
}

Merged Script::params(std::size_t step) const {
    const Ref &r = refs_[step];
    Merged m;
    if (r.kind == kFloats) {
        m.kind = Merged::Floats;
        m.n = r.n;
        std::copy(values_.begin() + r.at, values_.begin() + r.at + r.n, m.v);
    } else if (r.kind == kObject) {
        m.kind = Merged::Object;
        m.list = objects_[r.at];
    }
    return m;
}

std::size_t Script::bytes() const {
    return firsts_.capacity() * sizeof(ce::NodeId) + refs_.capacity() * sizeof(Ref) +
           values_.capacity() * sizeof(double) + objects_.capacity() * sizeof(nb::object);
}

bool read_gates(const vx::Args &a, nb::handle self, Gates &g) {
    PyObject *globals = a.func()->globals;
    nb::object list = vx::getattr(self, names().compressible);
    if (!PyList_CheckExact(list.ptr()))
        return false;
    GateKinds kinds(vx::dagapi::gatework_api(), globals, kRuleTableBits);
    PyObject *gmd = PyDict_GetItemString(globals, "gate_matrix_dict");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        PyObject *name = PyList_GET_ITEM(list.ptr(), i);
        if (!PyUnicode_CheckExact(name))
            return false;
        std::string text(vx::utf8(name));
        if (g.id.count(text))
            continue;
        const Rule r = rule_of(kinds.of(name));
        if (r == Rule::OneParam || r == Rule::TwoParam) {
            PyObject *f = PyDict_GetItemWithError(gmd, name);
            if (!f && PyErr_Occurred())
                throw vx::error_already_set{};
            if (f && !own_matrix_function(f))
                return false;
        }
        g.id.emplace(std::move(text), static_cast<std::int32_t>(g.name.size()));
        g.name.push_back(nb::borrow(name));
        g.rule.push_back(r);
    }
    return true;
}

bool Loop::run() {
    vx::GcPause pause;  // dicts and lists, no cycle, no code but numpy's and the package's
    work_.offer_all();
    ce::EdgeId e;
    for (std::size_t merges = 0; work_.next(e); ++merges) {
        vx::poll_signals(merges);
        if (replay_ && merges >= replay_->size())
            break;
        const ce::NodeId n1 = st_.g.edge(e).src, n2 = st_.g.edge(e).dst;
        if (replay_ && replay_->first(merges) != n1)
            vx::raise(PyExc_RuntimeError, "gate compression: the circuit DAG does not repeat the merges of the run");
        if (!st_.prepare(n1, n2))
            return false;
        if (merges == 0)
            st_.before_first_merge();
        merge(n1, n2, merges);
        merges_ = merges + 1;
    }
    return true;
}

ce::OneQubitEnds Loop::ends(ce::NodeId n1, ce::NodeId n2) {
    try {
        return ce::one_qubit_ends(st_.g, n1, n2);
    } catch (const ce::AmbiguousNeighbour &x) {
        const std::size_t count = x.predecessors ? st_.g.in_degree(x.node) : st_.g.out_degree(x.node);
        ambiguous_neighbours(st_.name(x.node).ptr(), static_cast<Py_ssize_t>(count),
                             x.predecessors ? "predecessors" : "successors");
    }
}

// The merged angles, or Vanished where the merged gate is the identity:
// from the doubles where both nodes' angles are exact floats, else with the
// objects.
Merged Loop::merged(nb::handle gate, ce::NodeId n1, ce::NodeId n2, bool one_qubit) {
    Merged out;
    double a1[3], a2[3];
    int c1 = 0, c2 = 0;
    if (st_.float_params(n1, a1, c1) && st_.float_params(n2, a2, c2) && c1 == c2) {
        switch (merge_floats(maths_, gate, a1, a2, c1, one_qubit, out.v)) {
        case FloatMerge::Merged:
            out.kind = Merged::Floats;
            out.n = static_cast<std::uint8_t>(c1);
            return out;
        case FloatMerge::Vanished: return out;
        case FloatMerge::Declined: break;
        }
    }
    nb::object p1 = st_.params(n1);
    nb::object p2 = st_.params(n2);
    nb::object list = optimize::merged_or_null(maths_, gate, p1, p2, one_qubit);
    if (list.is_valid()) {
        out.kind = Merged::Object;
        out.list = std::move(list);
    }
    return out;
}

// The label object of a planned edge: the very list it hands on, or a new
// one (in the order of the host's set of its wires where asked).
nb::object Loop::label_of(ce::PlannedEdge &p) {
    if (p.label_of != ce::kNone)
        return st_.label(p.label_of);
    if (!st_.wants_labels()) {
        if (p.set_order) {  // the set's order is the labels' alone: the wires are a set
            std::sort(p.wires.begin(), p.wires.end());
            p.wires.erase(std::unique(p.wires.begin(), p.wires.end()), p.wires.end());
        }
        return {};
    }
    nb::object list = int_list(p.wires);
    if (!p.set_order)
        return list;
    nb::object set = vx::own(PySet_New(list.ptr()));
    nb::object ordered = vx::own(PySequence_List(set.ptr()));
    p.wires.clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ordered.ptr()); ++i)
        p.wires.push_back(static_cast<ce::Wire>(PyLong_AsLong(PyList_GET_ITEM(ordered.ptr(), i))));
    return ordered;
}

void Loop::merge(ce::NodeId n1, ce::NodeId n2, std::size_t step) {
    const ce::Graph &g = st_.g;
    const std::int32_t gate = g.gate(n1);
    nb::handle gate_name = gates_.name[static_cast<size_t>(gate)];
    around_.clear();
    g.each_in(n1, [&](ce::EdgeId e) { around_.push_back(g.edge(e).src); });
    g.each_out(n2, [&](ce::EdgeId e) { around_.push_back(g.edge(e).dst); });
    plan_.clear();
    const Rule rule = gates_.rule[static_cast<size_t>(gate)];
    const bool one = rule == Rule::OneParam;
    const bool has_params = rule == Rule::OneParam || rule == Rule::TwoParam;
    ce::OneQubitEnds e;
    if (rule == Rule::OneQubit || one)
        e = ends(n1, n2);
    Merged params;
    if (has_params)
        params = replay_ ? replay_->params(step) : merged(gate_name, n1, n2, one);
    switch (rule) {
    case Rule::None:
        // run_compress_once gives None, which does not unpack
        vx::type_error("cannot unpack non-iterable NoneType object");
    case Rule::OneQubit: ce::plan_bridge_one(g, n1, n2, e, plan_); break;
    case Rule::TwoQubit:
    case Rule::ThreeQubit: ce::plan_bridge_multi(g, n1, n2, plan_); break;
    case Rule::OneParam:
    case Rule::TwoParam:
        if (params.made())
            ce::plan_replace(g, n1, n2, plan_);
        else if (one)
            ce::plan_bridge_one(g, n1, n2, e, plan_);
        else
            ce::plan_bridge_multi(g, n1, n2, plan_);
        break;
    }
    // idx is read before the graph changes
    long long number = 0;
    if (params.made()) {
        number = ++idx_;
        if (!replay_)
            vx::check(PyObject_SetAttr(self_.ptr(), names()._idx, vx::int_obj(number).ptr()));
    }
    // labels handed on belong to edges that go with the pair: take them first
    labels_.clear();
    for (ce::PlannedEdge &p : plan_)
        labels_.push_back(label_of(p));
    ce::NodeId created = ce::kNone;
    if (params.made())  // before n1 goes: it reads n1's qubits
        created = st_.add_created(gates_, gate, n1, params, number, step);
    st_.remove(n1);
    st_.remove(n2);
    for (size_t i = 0; i < plan_.size(); ++i) {
        const ce::PlannedEdge &p = plan_[i];
        const ce::NodeId u = p.src == ce::kCreated ? created : p.src;
        const ce::NodeId v = p.dst == ce::kCreated ? created : p.dst;
        st_.add_edge(u, v, labels_[i], p.wires);
    }
    if (record_)
        record_->add(n1, has_params ? &params : nullptr);
    for (ce::NodeId n : around_)
        work_.offer_around(n);
    if (created != ce::kNone)
        work_.offer_around(created);
}

}  // namespace optimize
