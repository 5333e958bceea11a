// Which way a call of a pass goes, decided in one place.
//
// Every pass has a reference path, the composition of its methods as they
// are specified, calling whatever the module's names and the instance's
// methods hold now; most also have a fast path, C++ over the records and
// arrays that gives exactly what the reference path gives, and which is only valid
// while the names and methods it stands in for are the package's own and the
// input has the shapes it reads.  A pass declares what its fast path needs
// once, and each call asks:
//
//     const vx::FastPathNeeds kNeeds{"SabreRouting", kNames, kMethods};
//     vx::PathChoice path(a, self, kNeeds);           // switch, names, methods
//     if (path.fast() && fast_run(a, ..., path)) ...  // else the reference path
//
// Inside the fast path, an input it does not take is declined with its
// reason, `return path.decline("gates is not a list")`, and the reference
// path takes over.  A decline is an answer, never an exception: errors and
// interrupts raised on the way propagate (see clear_ordinary_error).
//
// The choice is written to the package's `_paths` dictionary, pass name ->
// ("fast" | "reference", reason), so tests can see which way a call went.
// VEXAL_REFERENCE_PATHS=1 in the environment when the package is imported
// (the package attribute `_reference_paths`) declines every fast path.
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
    // The fast path does not take this input: the reference path will.
    // Returns false, for `return path.decline(...)`.
    bool decline(std::string_view why);
    // Whether the fast path still goes on: false once declined; otherwise
    // ok, or decline(why).
    bool require(bool ok, std::string_view why) { return fast_ && (ok || decline(why)); }
    // The DAG tier (a second, slower C++ path over the networkx DAG) took
    // the call after the fast path declined: recorded under its name, with
    // the decline's reason.
    void taken(const char *tier);

private:
    void record(const char *path, std::string_view why);
    const char *pass_;
    bool fast_ = true;
    std::string why_;
};

// Records (keep_original) what the names and methods of `needs` hold now in
// `module`: called once, in the module body.
void keep_needs(nb::handle module, const FastPathNeeds &needs);

// Whether VEXAL_REFERENCE_PATHS (the package's `_reference_paths`) asks for
// the reference paths.
bool reference_paths_only();

}  // namespace vx
