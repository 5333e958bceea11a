// Which way a call of a pass goes, decided in one place.
//
// Every pass has a reference path, the composition of its methods, calling
// whatever the module's names and the instance's methods hold now; most also
// have a fast path, C++ over the records and arrays that gives exactly what
// the reference path gives, and which is only valid while the names and
// methods it stands in for are the package's own and the input has the
// shapes it reads.  Two passes (decoupling, compression) have a DAG tier
// between them: C++ over the real networkx DAG, for inputs the fast path
// does not read (a circuit subclass, say) while the pass itself is still the
// package's own.  A pass declares what its fast path needs once, and each
// call walks the ladder fast -> DAG tier -> reference:
//
//     const vx::FastPathNeeds kNeeds{"SabreRouting", kNames, kMethods};
//     vx::PathChoice path(a, self, kNeeds);          // switch, names, methods
//     path.need(own_tables(a), "a gate table ...");   // more of the pass's own
//     if (path.fast() && fast_run(a, ..., path))      // declines an input it
//         return ...;                                 //   does not read
//     path.below_fast([&] { return dag_tier(...); },  // where the pass has one
//                     [&] { reference(...); });
//
// A pass without a DAG tier takes its reference path where fast() is false
// or its fast path declined.  A decline is an answer, never an exception:
// errors and interrupts raised on the way propagate (clear_ordinary_error).
//
// The outcome is written to the package's `_paths` dictionary, pass name ->
// (path, reason), the path one of kFast, kDagTier and kReference, so tests
// can see which way a call went.  VEXAL_REFERENCE_PATHS=1 in the environment
// when the package is imported (the package attribute `_reference_paths`)
// sends every call along the reference path.
#pragma once

#include "interop.hpp"

#include <initializer_list>
#include <string>
#include <string_view>

namespace vx {

struct FastPathNeeds {
    const char *pass;  // the key of the record, the pass's class name
    // names of the module's namespace ("nx", "nx.DiGraph") that must still
    // hold the package's own objects (recorded with keep_original)
    std::initializer_list<const char *> names;
    // "Class.method" paths that the instance must still find unchanged
    std::initializer_list<const char *> methods;
};

// The three values of a `_paths` record.
inline constexpr const char *kFast = "fast";
inline constexpr const char *kDagTier = "DAG tier";
inline constexpr const char *kReference = "reference";

class PathChoice {
public:
    // Asks the switch, the names (in `a`'s module) and the methods (on
    // `self`, when given); records the outcome.
    PathChoice(const Args &a, nb::handle self, const FastPathNeeds &needs);
    // Only the switch: for a function of no instance and no replaceable name.
    explicit PathChoice(const char *pass);
    PathChoice(const PathChoice &) = delete;
    PathChoice &operator=(const PathChoice &) = delete;

    bool fast() const { return fast_; }
    // The fast path does not take this input: the tiers below it will.
    // Returns false, for `return path.decline(...)`.
    bool decline(std::string_view why);
    // Whether the fast path still goes on: false once declined; otherwise
    // ok, or decline(why).
    bool require(bool ok, std::string_view why) { return fast_ && (ok || decline(why)); }
    // A need of the pass itself, as its names and methods are: where it
    // fails, neither the fast path nor the DAG tier takes the call.
    bool need(bool ok, std::string_view why) {
        if (!ok)
            dag_tier_ = false;
        return require(ok, why);
    }
    // Whether the DAG tier may take the call: the pass's needs hold, whatever
    // the input's shape.
    bool dag_tier() const { return dag_tier_; }
    // The ladder below a fast path that did not take the call: `dag()`
    // (true where it took the call) where the DAG tier may, else
    // `reference()`; records which took it.
    template <class Dag, class Reference> void below_fast(Dag &&dag, Reference &&reference) {
        if (dag_tier_ && dag()) {
            record(kDagTier, why_);
            return;
        }
        reference();
    }

private:
    void record(const char *path, std::string_view why);
    const char *pass_;
    bool fast_ = true;
    bool dag_tier_ = true;
    std::string why_;
};

// Records (keep_original) what the names and methods of `needs` hold now in
// `module`: called once, in the module body.
void keep_needs(nb::handle module, const FastPathNeeds &needs);

// Whether VEXAL_REFERENCE_PATHS (the package's `_reference_paths`) asks for
// the reference paths.
bool reference_paths_only();

}  // namespace vx
