// Dynamical decoupling walk; see dd_engine.hpp.
#include "dd_engine.hpp"

#include "pyfloat.hpp"

#include <cmath>
#include <utility>

// The times come out of exactly the roundings the Python expressions make
// (the build fuses no multiply-add).

namespace engines::dd {

bool gap_units(double idle, std::int64_t n_dd, int sequence_length, double t1g, std::int64_t &units) {
    // round((idle - n_dd * L * t1g) / L / n_dd / (0.1 * 1e-9))
    const double used = static_cast<double>(n_dd * sequence_length) * t1g;
    double x = (idle - used) / sequence_length / static_cast<double>(n_dd) / kGridSeconds;
    if (!(std::fabs(x) < 0x1p62))
        return false;
    units = static_cast<std::int64_t>(pyfloat::round_half_even(x));
    return true;
}

namespace {

// A qubit's idle record.  Its idle time is brought up to date only when it
// is needed: it is the sum, in layer order, of the times of the layers since
// the qubit's last node, begun from the slack that node left.
struct Record {
    double idle = 0;        // idle time up to the layer `from` of `passed`
    std::int32_t pre = -1;  // the qubit's last node
    std::size_t from = 0;   // layers of `passed` not yet added
};

double layer_time(const Nodes &g, std::span<const std::int32_t> nodes, const Options &opt) {
    bool one = false;
    for (std::int32_t u : nodes) {
        if (g.duration[u] == Duration::TwoQubit)
            return opt.t2g;
        one = one || g.duration[u] == Duration::OneQubit;
    }
    return one ? opt.t1g : 0.0;
}

double slack(const Nodes &g, std::int32_t u, double layer, const Options &opt) {
    switch (g.slack[u]) {
    case Slack::AfterOne: return layer - opt.t1g;
    case Slack::AfterTwo: return layer - opt.t2g;
    default: return 0.0;
    }
}

}  // namespace

// Adding a layer that lasts 0 changes no idle time, so only the layers that
// last are kept (`passed`); every qubit idles from the first layer on, so
// the time before a qubit's first node is one running sum (`before`) for
// all of them; and the idle time of a window that ends at a barrier not
// filled is never needed.  The work then stays within the layers a train
// fills (with t2g >= t1g every lasting layer takes at least t1g of a
// window), and the sums are still made one layer at a time, in order.
Outcome walk(const Nodes &g, const engines::dag::Generations &layers, bool backwards,
             std::span<const std::uint8_t> has_record, const Options &opt, const std::function<bool()> &poll) {
    Outcome out;
    const std::size_t nq = has_record.size();
    std::vector<Record> rec(nq);
    std::vector<double> passed;  // the times of the lasting layers walked so far
    double before = 0;           // the time of every layer walked so far, summed in order
    // The layer's qubits in first-seen order, each with the last node naming it.
    std::vector<std::int32_t> seen_in(nq, -1), node_of(nq, -1), order;
    const double threshold = opt.t1g * opt.sequence_length;
    std::int64_t inserted = 0, steps = 0;
    auto stop = [&](Outcome::Status status) {
        out.status = status;
        return std::move(out);
    };
    auto tick = [&](std::size_t work) {
        steps += static_cast<std::int64_t>(work) + 1;
        if (steps < 4096)
            return false;
        steps = 0;
        return poll();
    };

    for (std::size_t k = 0; k < layers.size(); ++k) {
        const std::span<const std::int32_t> nodes = layers[backwards ? layers.size() - 1 - k : k];
        const double layer = layer_time(g, nodes, opt);
        order.clear();
        for (std::int32_t u : nodes)
            for (std::int32_t q : g.qubits(u)) {
                if (seen_in[q] != static_cast<std::int32_t>(k)) {
                    seen_in[q] = static_cast<std::int32_t>(k);
                    order.push_back(q);
                }
                node_of[q] = u;
            }
        for (std::int32_t q : order) {
            if (!has_record[q]) {
                out.qubit = q;
                return stop(Outcome::NoRecord);
            }
            Record &r = rec[q];
            const std::int32_t u = node_of[q];
            const std::size_t work = r.pre >= 0 ? passed.size() - r.from : 0;
            if (tick(work))
                return stop(Outcome::Interrupted);
            if (r.pre < 0) {
                if (before > 0) {
                    if (++inserted > opt.max_inserted)
                        return stop(Outcome::TooMany);
                    out.insertions.push_back({Insertion::Delay, q, u, -1, before, 0, 0.0});
                }
            } else if (!(g.barrier[u] && !opt.insert_before_barrier)) {
                for (std::size_t j = r.from; j < passed.size(); ++j)
                    r.idle += passed[j];
                if (r.idle >= threshold) {
                    const double reps = pyfloat::floor_div(r.idle, threshold);
                    if (!(reps <= static_cast<double>(opt.max_inserted)))
                        return stop(Outcome::TooMany);
                    const auto n_dd = static_cast<std::int64_t>(reps);
                    std::int64_t units;
                    if (n_dd < 1 || !gap_units(r.idle, n_dd, opt.sequence_length, opt.t1g, units))
                        return stop(Outcome::NotRepresentable);
                    const double tgap = gap_seconds(units);
                    inserted += train_size(n_dd, opt.sequence_length, tgap > 0);
                    if (inserted > opt.max_inserted)
                        return stop(Outcome::TooMany);
                    out.insertions.push_back({Insertion::Train, q, u, r.pre, r.idle, n_dd, tgap});
                }
            }
            r.idle = slack(g, u, layer, opt);
            r.pre = u;
            r.from = passed.size() + (layer != 0 ? 1 : 0);  // this layer is not idle time
        }
        if (layer != 0)
            passed.push_back(layer);
        before += layer;
    }
    return out;
}

}  // namespace engines::dd
