// Shared pieces of vexal.circuit.schedule (dynamical decoupling).
//
// module.cpp     the class, its methods and run, which walks the ladder of
//                paths (vx::PathChoice)
// fast.cpp       the fast path: no DAG at all, where qc2dag, dag2qc and
//                everything they go through are the package's own
// dag_tier.cpp   the DAG tier: the walk over the real DAG in C++, where the
//                pass and the names the walk goes through are
// reference.cpp  the reference walk, through the methods
// The last two change the same DAG in the same way.
#pragma once

#include "dag_api.hpp"
#include "dd_engine.hpp"
#include "fast_path.hpp"
#include "interop.hpp"

#include <string>
#include <string_view>
#include <unordered_map>

#include <cstdint>

namespace schedule {

namespace dd = engines::dd;

// The four gate tables the pass binds and reads, in the order it binds
// them, and as bits of a GateKinds.
inline constexpr int kWalkTables[] = {vx::dagapi::kOneQubitTable, vx::dagapi::kTwoQubitTable,
                                      vx::dagapi::kOneQubitParamTable, vx::dagapi::kTwoQubitParamTable};
inline constexpr std::uint8_t kTableBits =
    vx::dagapi::table_bit(vx::dagapi::kOneQubitTable) | vx::dagapi::table_bit(vx::dagapi::kTwoQubitTable) |
    vx::dagapi::table_bit(vx::dagapi::kOneQubitParamTable) | vx::dagapi::table_bit(vx::dagapi::kTwoQubitParamTable);

// How a gate name counts, as the pass's methods test it against the tables.
struct Kind {
    dd::Duration duration;
    dd::Slack slack;
    bool barrier;
};

inline Kind kind_of(const vx::dagapi::GateKind &k, std::string_view name) {
    using enum vx::dagapi::GateTable;
    const bool one = k.in(kOneQubitTable) || k.in(kOneQubitParamTable);
    const bool two = k.in(kTwoQubitTable) || k.in(kTwoQubitParamTable);
    return {two   ? dd::Duration::TwoQubit
            : one ? dd::Duration::OneQubit
                  : dd::Duration::None,
            one                    ? dd::Slack::AfterOne
            : k.in(kTwoQubitTable) ? dd::Slack::AfterTwo
                                   : dd::Slack::Zero,
            name == "barrier"};
}

// The gate kind of each node, from the text of its name before the first "_".
class Classifier {
public:
    explicit Classifier(vx::dagapi::GateKinds &kinds) : kinds_(kinds) {}
    Kind classify(std::string_view name) {
        const std::string_view gate = name.substr(0, name.find('_'));
        auto it = seen_.find(gate);
        if (it == seen_.end()) {
            nb::object word = vx::str_obj(gate);
            it = seen_.emplace(std::string(gate), kind_of(kinds_.of(word.ptr()), gate)).first;
        }
        return it->second;
    }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    vx::dagapi::GateKinds &kinds_;
    std::unordered_map<std::string, Kind, Hash, std::equal_to<>> seen_;
};

// `_count` after construction: the first number handed out is 86752.
inline constexpr long long kFirstCount = 86751;

// At most this many nodes are inserted by one call of `run`; a t1g far
// shorter than the idle windows would otherwise ask for pulse trains without
// end.
inline constexpr std::int64_t kMaxInserted = 10'000'000;

[[noreturn]] void too_many_nodes();

// [item]
inline nb::object list1(nb::handle item) {
    nb::object l = vx::own(PyList_New(1));
    PyList_SET_ITEM(l.ptr(), 0, Py_NewRef(item.ptr()));
    return l;
}

// Numbers the walks hand to Python, made once: 0, 1, 2, and the grid's
// factors 0.1 and 1e-9 and their product (see dd::kGridSeconds).
struct Numbers {
    nb::handle zero, one, two, tenth, nano, grid;
};
const Numbers &numbers();

// Records the names the fast path and the DAG tier rely on (module body).
void remember(nb::handle module);

// What the fast path and the DAG tier need left as the package made them:
// the module's names and the pass's methods.
extern const vx::FastPathNeeds kNeeds;
// Whether the gate tables the walks read are exact dicts.
bool exact_tables(const vx::Args &a);

// The fast path (fast.cpp), where nothing but the package's own code would
// touch the DAG: the result of dag2qc(dag, nqubits, ncbits) over the DAG the
// walk leaves, in `out`, with `_count` advanced.  False, with nothing
// changed, where it declines the input (through `path`).
bool fast_run(const vx::Args &a, nb::handle self, nb::handle qc, int sequence_length, bool align_right,
              bool insert_before_barrier, nb::object &out, vx::PathChoice &path);

// Raises what the walk's outcome stands for (the KeyError of a qubit
// without idle record, too many nodes, an interruption); false where the
// reference walk must do the work, true when the walk is done.
bool settle(const dd::Outcome &out, nb::handle qubit);

// The DAG tier (dag_tier.cpp) over `dag` (made by qc2dag, not yet changed),
// where everything it reads is exact: inserts the delays and trains into
// `dag` and advances `_count`, and returns true.  Returns false, with
// nothing changed, where the reference walk must do the work.  Raises, with
// nothing changed, the error the reference walk would raise.
bool dag_tier_walk(const vx::Args &a, nb::handle self, nb::handle dag, nb::handle qubits, int sequence_length,
                   bool align_right, bool insert_before_barrier);

// The reference walk (reference.cpp): the same insertions through the
// pass's methods and the module's names.
void reference_walk(const vx::Args &a, nb::handle self, nb::handle dag, nb::handle qubits, int sequence_length,
                    bool align_right, bool insert_before_barrier);

}  // namespace schedule
