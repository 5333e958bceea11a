// The text grid of a circuit picture; see text_grid.hpp.
#include "text_grid.hpp"

#include <algorithm>

namespace engines::text {

void check_cells(std::uint64_t rows, std::uint64_t columns, bool at_least) {
    if (columns != 0 && rows > kMaxCells / columns)
        throw TooLarge("the picture would have " + std::to_string(rows) + " rows by " + (at_least ? "at least " : "") +
                       std::to_string(columns) + " columns, more than " + std::to_string(kMaxCells) + " cells");
}

int digit_count(std::int64_t v) {
    int d = 1;
    while (v >= 10) {
        v /= 10;
        ++d;
    }
    return d;
}

namespace {

Text decimal(std::int64_t v) {
    const std::string s = std::to_string(v);
    return Text(s.begin(), s.end());
}

}  // namespace

std::vector<Text> blank_column(std::int64_t nqubits, std::int64_t ncbits) {
    std::vector<Text> col;
    col.reserve(static_cast<std::size_t>(2 * nqubits + 1 + digit_count(ncbits)));
    for (std::int64_t q = 0; q < nqubits; ++q) {
        col.emplace_back(1, kWire);
        col.emplace_back(1, kBlank);
    }
    col.emplace_back(1, kClassical);
    for (int k = 0; k < digit_count(ncbits); ++k)
        col.emplace_back(1, kBlank);
    return col;
}

std::vector<Text> label_column(std::int64_t nqubits, std::int64_t ncbits) {
    // q[...] and c:.../ take three characters besides their digits; six in all
    // up to three digits, wider (for every row alike) beyond.
    std::size_t width = 6;
    if (nqubits > 0)
        width = std::max<std::size_t>(width, 3 + digit_count(nqubits - 1));
    width = std::max<std::size_t>(width, 3 + digit_count(ncbits));
    std::vector<Text> col = blank_column(nqubits, ncbits);
    for (std::size_t r = 0; r < col.size(); ++r)
        col[r].assign(width, kBlank);
    for (std::int64_t q = 0; q < nqubits; ++q) {
        Text &t = col[static_cast<std::size_t>(2 * q)];
        const Text label = U"q[" + decimal(q) + U"]";
        std::copy(label.begin(), label.end(), t.begin());
    }
    Text &c = col[static_cast<std::size_t>(2 * nqubits)];
    const Text count = decimal(ncbits) + U"/";
    c[0] = U'c';
    c[1] = U':';
    std::copy(count.begin(), count.end(), c.end() - static_cast<std::ptrdiff_t>(count.size()));
    return col;
}

// ------------------------------------------------------------------ TextTable

TextId TextTable::id(TextView t) {
    auto it = index_.find(Text(t));
    if (it != index_.end())
        return it->second;
    const auto i = static_cast<TextId>(texts_.size());
    texts_.emplace_back(t);
    index_.emplace(texts_.back(), i);
    return i;
}

// ----------------------------------------------------------------------- Grid

Grid::Grid(std::int64_t nqubits, const std::vector<Text> &blank, const std::vector<Text> &labels) {
    if (nqubits < 0 || static_cast<std::uint64_t>(nqubits) >= (blank.size() + 1) / 2)
        throw std::invalid_argument("a grid needs a wire and a gap row per qubit and a classical row");
    rows_.nqubits = nqubits;
    rows_.count = static_cast<std::int64_t>(blank.size());
    wire_ = texts_.id(kWire);
    gap_ = texts_.id(kBlank);
    blank_.reserve(blank.size());
    for (const Text &t : blank)
        blank_.push_back(texts_.id(t));
    top_pattern_.assign(blank.size(), -1);
    top_blank_.assign(blank.size(), -1);
    add_layer(labels);
}

void Grid::add_layer(const std::vector<Text> &cells) {
    if (cells.size() != blank_.size())
        throw std::invalid_argument("every layer has one cell per row");
    std::vector<TextId> ids;
    ids.reserve(cells.size());
    for (const Text &t : cells)
        ids.push_back(texts_.id(t));
    append_column(ids.data());
}

void Grid::append_column(const TextId *ids) {
    const auto n = static_cast<std::size_t>(rows_.count);
    check_cells(n, columns_ + 1, true);  // more layers may follow
    const std::size_t c = columns_;
    cells_.insert(cells_.end(), ids, ids + n);
    ++columns_;
    const std::int64_t qubit_rows = std::min<std::int64_t>(2 * rows_.nqubits, rows_.count);
    for (std::int64_t r = 0; r < rows_.count; ++r) {
        const TextId t = ids[r];
        if (r < qubit_rows && off_pattern(r, t))
            top_pattern_[static_cast<std::size_t>(r)] = static_cast<std::int64_t>(c);
        if (t != blank_[static_cast<std::size_t>(r)])
            top_blank_[static_cast<std::size_t>(r)] = static_cast<std::int64_t>(c);
    }
}

std::int64_t Grid::after_span(std::int64_t r0, std::int64_t r1) const {
    std::int64_t top = -1;
    for (std::int64_t r = r0; r <= r1; ++r)
        top = std::max(top, top_pattern_[static_cast<std::size_t>(r)]);
    return next(top);
}

std::int64_t Grid::after_rows_from(std::int64_t r0) const {
    std::int64_t top = -1;
    for (std::int64_t r = r0; r < rows_.count; ++r)
        top = std::max(top, top_blank_[static_cast<std::size_t>(r)]);
    return next(top);
}

void Grid::write(std::size_t column, std::int64_t row, TextId t) {
    while (columns_ <= column)
        append_column(blank_.data());
    TextId &cell = cells_[column * static_cast<std::size_t>(rows_.count) + static_cast<std::size_t>(row)];
    const TextId was = cell;
    cell = t;
    if (logging_)
        writes_.emplace_back(column, row);
    track(column, row, was, t);
}

void Grid::track(std::size_t column, std::int64_t row, TextId was, TextId now) {
    const auto c = static_cast<std::int64_t>(column);
    const auto r = static_cast<std::size_t>(row);
    // Marks column c in a frontier, or looks back when c was the frontier
    // and is blank now.
    auto update = [&](std::vector<std::int64_t> &top, bool was_off, bool now_off, auto off) {
        if (now_off) {
            top[r] = std::max(top[r], c);
        } else if (was_off && top[r] == c) {
            std::int64_t k = c - 1;
            while (k >= 0 && !off(static_cast<std::size_t>(k)))
                --k;
            top[r] = k;
        }
    };
    if (row < 2 * rows_.nqubits)
        update(top_pattern_, off_pattern(row, was), off_pattern(row, now),
               [&](std::size_t k) { return off_pattern(row, cell(k, row)); });
    const TextId b = blank_[r];
    update(top_blank_, was != b, now != b, [&](std::size_t k) { return cell(k, row) != b; });
}

std::size_t Grid::used() const {
    std::int64_t top = -1;
    for (std::int64_t t : top_blank_)
        top = std::max(top, t);
    return static_cast<std::size_t>(top + 1);
}

// ------------------------------------------------------------------- Layering

Layering::Layering(Grid &g) : g_(g), bar_(g.texts().id(kBar)), measured_(g.texts().id(U'M')) {}

void Layering::use(std::int64_t lo, std::int64_t hi) {
    lines_use.insert(lines_use.end(), {2 * lo, 2 * lo + 1, 2 * hi, 2 * hi + 1});
}

std::size_t Layering::span_layer(std::int64_t lo, std::int64_t hi) const {
    const std::int64_t at = g_.after_span(2 * lo, 2 * hi);
    return at < 0 ? 0 : static_cast<std::size_t>(at);
}

void Layering::one(std::int64_t q, TextView cell) {
    const std::int64_t at = g_.after_wire(2 * q);
    if (at < 0)
        return;
    g_.write(static_cast<std::size_t>(at), 2 * q, g_.texts().id(cell));
    lines_use.insert(lines_use.end(), {2 * q, 2 * q + 1});
}

void Layering::two(std::int64_t a, std::int64_t b, char32_t first, char32_t last) {
    const std::int64_t lo = std::min(a, b), hi = std::max(a, b);
    const std::size_t at = span_layer(lo, hi);
    if (!at)
        return;
    g_.write(at, 2 * a, g_.texts().id(first));
    g_.write(at, 2 * b, g_.texts().id(last));
    for (std::int64_t r = 2 * lo + 1; r < 2 * hi; ++r)
        g_.write(at, r, bar_);
    use(lo, hi);
}

void Layering::three(const std::int64_t q[3], const char32_t symbol[3]) {
    std::int64_t p[3] = {q[0], q[1], q[2]};
    std::sort(p, p + 3);
    const std::size_t at = span_layer(p[0], p[2]);
    if (!at)
        return;
    for (int i = 0; i < 3; ++i)
        g_.write(at, 2 * q[i], g_.texts().id(symbol[i]));
    for (int i = 0; i < 2; ++i)
        for (std::int64_t r = 2 * p[i] + 1; r < 2 * p[i + 1]; ++r)
            g_.write(at, r, bar_);
    lines_use.insert(lines_use.end(), {2 * p[0], 2 * p[0] + 1, 2 * p[1], 2 * p[1] + 1, 2 * p[2], 2 * p[2] + 1});
}

void Layering::controlled_phase(std::int64_t a, std::int64_t b, char32_t letter, TextView angle) {
    Text label = Text(1, letter) + U"(" + Text(angle) + U")";
    if (label.size() % 2 == 0)
        label += kWire;
    const std::size_t h = label.size() / 2;
    const std::int64_t lo = std::min(a, b), hi = std::max(a, b);
    const std::size_t at = span_layer(lo, hi);
    if (!at)
        return;
    TextTable &texts = g_.texts();
    g_.write(at, 2 * a, texts.id(Text(h, kWire) + U"\u25cf" + Text(h, kWire)));
    g_.write(at, 2 * b, texts.id(label));
    const TextId wire = texts.id(Text(h, kWire) + kBar + Text(h, kWire));
    const TextId gap = texts.id(Text(h, kBlank) + kBar + Text(h, kBlank));
    for (std::int64_t r = 2 * lo + 1; r < 2 * hi; ++r)
        g_.write(at, r, r % 2 == 0 ? wire : gap);
    use(lo, hi);
}

void Layering::box(std::int64_t a, std::int64_t b, TextView name, TextView angle) {
    Text label = Text(name) + U"(" + Text(angle) + U")";
    if (label.size() % 2 == 0)
        label += kBlank;
    const std::size_t half = (label.size() - 1) / 2;
    const std::int64_t lo = std::min(a, b), hi = std::max(a, b);
    const std::size_t at = span_layer(lo, hi);
    if (!at)
        return;
    // The digit marks the end of the box that is the record's first qubit (0).
    const char32_t top_mark = lo == a ? U'0' : U'1', bottom_mark = lo == a ? U'1' : U'0';
    TextTable &texts = g_.texts();
    const Text edge(half, kWire);
    g_.write(at, 2 * lo, texts.id(U"\u250c" + edge + top_mark + edge + U"\u2510"));
    g_.write(at, 2 * hi, texts.id(U"\u2514" + edge + bottom_mark + edge + U"\u2518"));
    use(lo, hi);
    const TextId side = texts.id(kBar + Text(label.size(), kBlank) + kBar);
    for (std::int64_t r = 2 * lo + 1; r < 2 * hi; ++r)
        g_.write(at, r, side);
    g_.write(at, lo + hi, texts.id(kBar + label + kBar));
}

std::int64_t Layering::after_wires(const std::vector<std::int64_t> &qubits) const {
    std::int64_t at = -1;
    for (std::int64_t q : qubits)
        at = std::max(at, g_.after_wire(2 * q));
    return at;
}

void Layering::barrier(const std::vector<std::int64_t> &qubits, TextView mark) {
    const std::int64_t top = after_wires(qubits);
    if (top < 0)
        return;
    const auto at = static_cast<std::size_t>(top);
    const TextId t = g_.texts().id(mark);
    for (std::int64_t q : qubits) {
        g_.write(at, 2 * q, t);
        if (std::find(qubits.begin(), qubits.end(), q + 1) != qubits.end())
            g_.write(at, 2 * q + 1, t);
    }
}

void Layering::delay(const std::vector<std::int64_t> &qubits, TextView label) {
    const std::int64_t top = after_wires(qubits);
    if (top < 0)
        return;
    const TextId t = g_.texts().id(label);
    for (std::int64_t q : qubits)
        g_.write(static_cast<std::size_t>(top), 2 * q, t);
}

void Layering::measure(std::int64_t q, TextView digits) {
    const Rows &rows = g_.rows();
    const std::int64_t first_digit = rows.classical() + 1;
    if (first_digit + static_cast<std::int64_t>(digits.size()) > rows.count)
        throw std::out_of_range("too few digit rows for a classical bit");
    const std::int64_t at = g_.after_rows_from(2 * q);
    if (at < 0)
        return;
    const auto c = static_cast<std::size_t>(at);
    g_.write(c, 2 * q, measured_);
    for (std::int64_t r = 2 * q + 1; r < rows.classical(); ++r)
        g_.write(c, r, bar_);
    for (std::size_t k = 0; k < digits.size(); ++k)
        g_.write(c, first_digit + static_cast<std::int64_t>(k), g_.texts().id(digits[k]));
    lines_use.insert(lines_use.end(), {2 * q, 2 * q + 1});
}

// ----------------------------------------------------------------- formatting

Layout layout(const Grid &g, std::size_t n) {
    Layout l{std::vector<std::size_t>(n, 0), std::vector<std::size_t>(n, 0)};
    for (std::size_t c = 0; c < n; ++c) {
        for (std::int64_t r = 0; r < g.rows().count; ++r)
            l.longest[c] = std::max(l.longest[c], g.texts().length(g.cell(c, r)));
        if (c > 0)
            l.widths[c] = padded_width(l.longest[c]);
    }
    return l;
}

namespace {

std::uint64_t row_bound(const Layout &l, std::int64_t spacer) {
    const std::uint64_t gap = spacer > 0 ? static_cast<std::uint64_t>(spacer) : 0;
    std::uint64_t total = 0;
    for (std::size_t c = 0; c < l.widths.size() && total <= kMaxChars; ++c)
        total += std::min<std::uint64_t>(std::max(l.widths[c], l.longest[c]) + gap, kMaxChars + 1);
    return total;
}

}  // namespace

void check_row_size(const Grid &g, const Layout &l, std::int64_t spacer) {
    const auto rows = static_cast<std::uint64_t>(g.rows().count);
    const std::uint64_t bound = row_bound(l, spacer);
    if (bound > kMaxChars || (rows != 0 && bound > kMaxChars / rows))
        throw TooLarge("the picture's rows would hold more than " + std::to_string(kMaxChars) + " characters");
}

}  // namespace engines::text
