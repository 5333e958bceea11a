// The circuit text drawing: what its sources share.
//
// Four functions make the picture, each calling the one before it through
// the module namespace: add_gates_to_lines -> format_gates_layerd ->
// generate_gates_layerd -> initialize_lines.  The cells live in the text
// grid engine (text_grid.hpp); Python lists and strings are made once, at
// the end.  Where the functions further down are the module's own, a
// function does their work itself, without the Python lists in between.
#pragma once

#include "gatework.hpp"
#include "records.hpp"

#include "text_grid.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace gatework::drawing {

namespace tx = engines::text;

// The code points of a str or of UTF-8 text, and a str of code points.
tx::Text text_of(PyObject *s);
tx::Text text_of_utf8(std::string_view s);
nb::object str_of(tx::TextView t);

// A str for every text of a grid's table, made once each.
class StrCache {
public:
    explicit StrCache(const tx::TextTable &texts) : texts_(texts) {}
    PyObject *get(tx::TextId id);  // borrowed from the cache

private:
    const tx::TextTable &texts_;
    std::vector<nb::object> strs_;
};

// Reads gate records and places them in a grid through the layering: the
// kind of a record by the gate tables the module namespace holds, its
// symbols from those tables, its angle labels through is_multiple_of_pi and
// the parameter values.
class Placer {
public:
    Placer(const vx::Args &a, tx::Grid &grid, long long nqubits, PyObject *params_value);

    // Places every record of the list (a snapshot of it), in order.
    void place_all(PyObject *gates);
    std::vector<std::int64_t> &lines_use() { return layering_.lines_use; }

    // How a record is drawn, by its kind (see drawing_records.cpp).
    enum class Draw { Skip, One, Two, Three, ControlledPhase, Box, U, R, OneParam, Reset, Barrier, Delay, Measure };

private:
    void place(PyObject *rec_in);
    void place_gate(Draw kind, PyObject *rec, PyObject *name, int nangles, const std::int64_t q[3]);
    void place_functional(Draw kind, PyObject *rec, Py_ssize_t len);
    void place_measure(PyObject *rec);
    Draw kind_of(PyObject *name);
    tx::Text symbol(int table, PyObject *name, std::size_t at_least);
    std::int64_t qubit(PyObject *q);
    std::vector<std::int64_t> qubit_list(PyObject *seq, const char *what);
    tx::Text angle(PyObject *v);
    tx::Text multiple_of_pi(PyObject *v);
    void foreign_code_ran() { kinds_.reset(); }

    const vx::Args &a_;
    tx::Grid &grid_;
    tx::Layering layering_;
    long long nqubits_;
    PyObject *params_;
    PyObject *rec_ = nullptr;  // the record being read, as given
    std::optional<GateKinds> kinds_;
};

}  // namespace gatework::drawing
