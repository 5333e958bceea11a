// The text grid of a circuit picture: a column of labels, then layers of
// text cells, one cell per row.  No Python here.
//
// Rows, for qubits q < nqubits: wire row 2q, gap row 2q+1; then the classical
// row 2*nqubits and the digit rows below it, where a measurement writes the
// digits of its classical bit.  Texts are sequences of code points, so a
// width is what Python's len() says of the same text.
//
// Gates are placed one after the other, each in the layer right after the
// last layer that holds something on the rows it tests; earlier free layers
// are never reused, so gates keep their order along every wire.  Instead of
// scanning the layers for every gate, the grid keeps for every row the last
// layer that is not blank there (a per-row frontier), and layers are added
// only when a gate needs one.  The frontier is exact, whatever the cells:
// a grid may be loaded with any texts, and a write that blanks the frontier
// cell of a row looks further back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace engines::text {

using Text = std::u32string;
using TextView = std::u32string_view;
using TextId = std::uint32_t;

inline constexpr char32_t kWire = U'\u2500';       // ─
inline constexpr char32_t kClassical = U'\u2550';  // ═
inline constexpr char32_t kBlank = U' ';
inline constexpr char32_t kBar = U'\u2502';  // │

// The most cells (rows times columns, labels included) a picture may have,
// and the most characters its joined rows may hold together: a few numbers
// must not ask for gigabytes.
inline constexpr std::uint64_t kMaxCells = std::uint64_t{1} << 27;
inline constexpr std::uint64_t kMaxChars = std::uint64_t{1} << 30;

// A picture would be larger than the limits allow.
struct TooLarge : std::length_error {
    using std::length_error::length_error;
};

// Throws TooLarge when `rows` rows by `columns` columns exceed kMaxCells;
// `at_least`: the picture would have more columns still.
void check_cells(std::uint64_t rows, std::uint64_t columns, bool at_least = false);

// Number of decimal digits of v >= 0.
int digit_count(std::int64_t v);

// The kinds of rows, by index.
struct Rows {
    std::int64_t nqubits = 0;
    std::int64_t count = 0;  // all rows of a column

    std::int64_t classical() const { return 2 * nqubits; }
    // The character that pads a cell of this row and joins columns on it:
    // ─ on wire rows, ═ on the classical row, a blank elsewhere.
    char32_t fill(std::int64_t row) const {
        if (row < 2 * nqubits)
            return row % 2 == 0 ? kWire : kBlank;
        return row == 2 * nqubits ? kClassical : kBlank;
    }
    // The cell an empty layer has on a wire or gap row.
    char32_t pattern(std::int64_t row) const { return row % 2 == 0 ? kWire : kBlank; }
};

// The empty column of a fresh picture: ─ and a blank for every qubit, ═, then
// one blank per digit of ncbits.
std::vector<Text> blank_column(std::int64_t nqubits, std::int64_t ncbits);

// The label column: q[<index>] on wire rows, c:<ncbits>/ on the classical
// row, blanks elsewhere, all six characters wide while indices and ncbits
// have at most three digits, and all as wide as the widest label beyond.
std::vector<Text> label_column(std::int64_t nqubits, std::int64_t ncbits);

// Texts by number: equal texts share one number.
class TextTable {
public:
    TextId id(TextView t);
    TextId id(char32_t c) { return id(TextView(&c, 1)); }
    const Text &text(TextId i) const { return texts_[i]; }
    std::size_t length(TextId i) const { return texts_[i].size(); }
    std::size_t size() const { return texts_.size(); }

private:
    std::vector<Text> texts_;
    std::unordered_map<Text, TextId> index_;
};

class Grid {
public:
    // `blank`: the column every new layer copies, one text per row; `labels`:
    // the first column, as long as `blank`.
    Grid(std::int64_t nqubits, const std::vector<Text> &blank, const std::vector<Text> &labels);

    // Appends a layer holding `cells` (as many as there are rows).
    void add_layer(const std::vector<Text> &cells);

    const Rows &rows() const { return rows_; }
    TextTable &texts() { return texts_; }
    const TextTable &texts() const { return texts_; }
    std::size_t columns() const { return columns_; }
    TextId cell(std::size_t column, std::int64_t row) const {
        return cells_[column * static_cast<std::size_t>(rows_.count) + static_cast<std::size_t>(row)];
    }
    TextId blank(std::int64_t row) const { return blank_[static_cast<std::size_t>(row)]; }

    // The layer right after the last one that holds something on the tested
    // rows, or -1 when no column holds anything there.
    //  * after_wire: the cell of a wire row is not ─;
    //  * after_span: rows r0..r1 (wire and gap rows) differ from ─ / blank;
    //  * after_rows_from: rows r0..last differ from the blank column.
    std::int64_t after_wire(std::int64_t row) const { return next(top_pattern_[static_cast<std::size_t>(row)]); }
    std::int64_t after_span(std::int64_t r0, std::int64_t r1) const;
    std::int64_t after_rows_from(std::int64_t r0) const;

    // Writes a cell, adding blank layers up to `column` first.
    void write(std::size_t column, std::int64_t row, TextId t);

    // Columns up to the last one that differs from the blank column.
    std::size_t used() const;

    // Every (column, row) written so far, in order, once `log_writes` is on.
    void log_writes() { logging_ = true; }
    const std::vector<std::pair<std::size_t, std::int64_t>> &writes() const { return writes_; }

private:
    static std::int64_t next(std::int64_t top) { return top < 0 ? -1 : top + 1; }
    void append_column(const TextId *ids);
    bool off_pattern(std::int64_t row, TextId t) const { return t != (rows_.pattern(row) == kWire ? wire_ : gap_); }
    // Row `row` of column `column` changed from `was` to `now`.
    void track(std::size_t column, std::int64_t row, TextId was, TextId now);

    Rows rows_;
    TextTable texts_;
    TextId wire_, gap_;
    std::vector<TextId> blank_;
    std::vector<TextId> cells_;  // column after column
    std::size_t columns_ = 0;
    // Per row, the last column that is not blank there (-1: none): against
    // the ─ / blank pattern (wire and gap rows), and against the blank column.
    std::vector<std::int64_t> top_pattern_, top_blank_;
    bool logging_ = false;
    std::vector<std::pair<std::size_t, std::int64_t>> writes_;
};

// Places gates in a grid, one record at a time, and notes in `lines_use`
// the wire and gap rows of the qubits each placed gate names.  A gate that
// no column tests occupied (an empty barrier) is not placed.
class Layering {
public:
    explicit Layering(Grid &g);

    // A one-qubit gate, parameter gate or reset: `cell` on the qubit's wire.
    void one(std::int64_t q, TextView cell);
    // A two-qubit gate: `first` on a's wire, `last` on b's, │ between.
    void two(std::int64_t a, std::int64_t b, char32_t first, char32_t last);
    // A three-qubit gate: symbol characters 0, 1, 2 on the wires of q[0],
    // q[1], q[2]; │ between them, the middle wire keeping its character.
    void three(const std::int64_t q[3], const char32_t symbol[3]);
    // A controlled phase: ─●─ on the control a, the label letter(angle) on b.
    void controlled_phase(std::int64_t a, std::int64_t b, char32_t letter, TextView angle);
    // A two-qubit rotation drawn as a box: `name`(angle) in the middle, the
    // edges marked 0 at a's end and 1 at b's.
    void box(std::int64_t a, std::int64_t b, TextView name, TextView angle);
    // A barrier: `mark` on the listed wires and between listed neighbours.
    void barrier(const std::vector<std::int64_t> &qubits, TextView mark);
    // A delay: `label` on each listed wire.
    void delay(const std::vector<std::int64_t> &qubits, TextView label);
    // One (qubit, classical bit) pair of a measurement: M on the wire, │
    // down to the classical line, the bit's digits on the digit rows.
    // Throws std::out_of_range when the digits need more rows than there are.
    void measure(std::int64_t q, TextView digits);

    std::vector<std::int64_t> lines_use;

private:
    void use(std::int64_t lo, std::int64_t hi);
    std::size_t span_layer(std::int64_t lo, std::int64_t hi) const;  // 0: not placed
    std::int64_t after_wires(const std::vector<std::int64_t> &qubits) const;

    Grid &g_;
    TextId bar_, measured_;
};

// Formatting: every layer is brought to one width, 1 when its longest cell
// has one character, else an odd number.  padded_width gives that width, or
// 0 when the layer stays as it is (its longest cell has one character).
inline std::size_t padded_width(std::size_t longest) { return longest == 1 ? 0 : (longest | 1); }

// Writes `cell` brought to `width` (0: as it is) to a sink that takes
// `text(TextView)` and `fill(char32_t, count)`: a one-character cell is
// centred between fill characters, a longer one is left-aligned.
template <class Sink> void put_padded(Sink &out, TextView cell, std::size_t width, char32_t fill) {
    if (width == 0 || (cell.size() == 1 && width == 1)) {
        out.text(cell);
    } else if (cell.size() == 1) {
        out.fill(fill, width / 2);
        out.text(cell);
        out.fill(fill, width / 2);
    } else {
        out.text(cell);
        out.fill(fill, width - std::min(width, cell.size()));
    }
}

// A sink that appends to a Text.
struct TextSink {
    Text &out;
    void text(TextView t) { out += t; }
    void fill(char32_t c, std::size_t n) { out.append(n, c); }
};

// A sink that only measures: the length and the largest code point.
struct MeasureSink {
    std::size_t length = 0;
    char32_t maxchar = 0;
    void text(TextView t) {
        length += t.size();
        for (char32_t c : t)
            maxchar = std::max(maxchar, c);
    }
    void fill(char32_t c, std::size_t n) {
        if (n) {
            length += n;
            maxchar = std::max(maxchar, c);
        }
    }
};

// How the columns [0, n) of a grid come out formatted: the longest cell of
// each and its padded width (the label column keeps its cells: width 0).
struct Layout {
    std::vector<std::size_t> longest, widths;
};
Layout layout(const Grid &g, std::size_t n);

// Throws TooLarge when the joined rows, each cell followed by `spacer` fill
// characters, could hold more than kMaxChars characters together.
void check_row_size(const Grid &g, const Layout &l, std::int64_t spacer);

// Writes the joined rows r0 .. r1-1 to sinks[0 .. r1-r0): on every row,
// each column's cell at its width followed by `spacer` fill characters (none
// when spacer <= 0).  Rows are best made a few at a time (kRowBlock): the
// cells of a column are kept together, so neighbouring rows are read at once.
inline constexpr std::int64_t kRowBlock = 256;
template <class Sink>
void put_rows(const Grid &g, const Layout &l, std::int64_t spacer, std::int64_t r0, std::int64_t r1, Sink *sinks) {
    const std::size_t gap = spacer > 0 ? static_cast<std::size_t>(spacer) : 0;
    const TextTable &texts = g.texts();
    for (std::size_t c = 0; c < l.widths.size(); ++c)
        for (std::int64_t r = r0; r < r1; ++r) {
            Sink &out = sinks[r - r0];
            const char32_t fill = g.rows().fill(r);
            put_padded(out, texts.text(g.cell(c, r)), l.widths[c], fill);
            out.fill(fill, gap);
        }
}

}  // namespace engines::text
