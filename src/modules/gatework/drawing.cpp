// The circuit text drawing: initialize_lines, generate_gates_layerd,
// format_gates_layerd and add_gates_to_lines (see drawing.hpp).
//
// When the functions a function calls are all the module's own, it draws
// on a grid whose layers are made as gates need them and builds only its own
// result.  Otherwise it calls the function before it through the module
// namespace and works on what that returns: generate_gates_layerd places the
// gates in the grid initialize_lines handed back (writing its cells in
// place), format_gates_layerd pads the columns it is given in place, and
// add_gates_to_lines joins the columns it is given.
#include "fast_path.hpp"
#include "drawing.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace gatework::drawing {

// ------------------------------------------------------------------- strings

tx::Text text_of(PyObject *s) {
    if (PyUnicode_READY(s) < 0)
        throw vx::error_already_set{};
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    tx::Text t(static_cast<std::size_t>(n), U'\0');
    for (Py_ssize_t i = 0; i < n; ++i)
        t[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
    return t;
}

tx::Text text_of_utf8(std::string_view s) {
    tx::Text t;
    t.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xe0 ? 1 : lead < 0xf0 ? 2 : 3;
        char32_t c = extra == 0 ? lead : lead & (0x3f >> extra);
        for (int k = 1; k <= extra && i + k < s.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
        t += c;
        i += 1 + extra;
    }
    return t;
}

nb::object str_of(tx::TextView t) {
    return vx::own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, t.data(), static_cast<Py_ssize_t>(t.size())));
}

PyObject *StrCache::get(tx::TextId id) {
    if (strs_.size() <= id)
        strs_.resize(texts_.size());
    if (!strs_[id].is_valid())
        strs_[id] = str_of(texts_.text(id));
    return strs_[id].ptr();
}

namespace {

nb::object initialize_lines(const vx::Args &a);
nb::object generate_gates_layerd(const vx::Args &a);
nb::object format_gates_layerd(const vx::Args &a);

// ---------------------------------------------------------------- arguments

struct Sizes {
    long long nqubits, ncbits;
};

Sizes sizes(const vx::Args &a) {
    const Sizes s{a.ll(0), a.ll(1)};
    if (s.nqubits < 0)
        vx::value_error("nqubits must be at least 0, got " + std::to_string(s.nqubits));
    if (s.ncbits < 0)
        vx::value_error("ncbits must be at least 0, got " + std::to_string(s.ncbits));
    if (static_cast<unsigned long long>(s.nqubits) > tx::kMaxCells)
        throw tx::TooLarge("the picture would have more than " + std::to_string(tx::kMaxCells) + " rows");
    return s;
}

// A grid failure of size as the MemoryError it stands for.
template <class F> auto sized(F &&f) {
    try {
        return f();
    } catch (const tx::TooLarge &e) {
        vx::raise(PyExc_MemoryError, e.what());
    }
}

bool own(nb::handle f, vx::Impl impl) { return vx::is_function_of(f.ptr(), impl); }

nb::object list_of_lines(const std::vector<std::int64_t> &rows) {
    nb::object l = vx::own(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i)
        PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(i), vx::check(PyLong_FromLongLong(rows[i])));
    return l;
}

nb::object pair(nb::handle first, nb::handle second) { return vx::own(PyTuple_Pack(2, first.ptr(), second.ptr())); }

// A list of the strs of `cells`.
nb::object column_list(const std::vector<tx::TextId> &cells, StrCache &strs) {
    nb::object l = vx::own(PyList_New(static_cast<Py_ssize_t>(cells.size())));
    for (std::size_t r = 0; r < cells.size(); ++r) {
        PyObject *s = strs.get(cells[r]);
        Py_INCREF(s);
        PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(r), s);
    }
    return l;
}

// The cells of column `c` of a grid.
std::vector<tx::TextId> grid_column(const tx::Grid &g, std::size_t c) {
    std::vector<tx::TextId> cells(static_cast<std::size_t>(g.rows().count));
    for (std::size_t r = 0; r < cells.size(); ++r)
        cells[r] = g.cell(c, static_cast<std::int64_t>(r));
    return cells;
}

// ----------------------------------------------------------- initialize_lines

std::int64_t row_count(const Sizes &s) { return 2 * s.nqubits + 1 + tx::digit_count(s.ncbits); }

// The layers of the grid initialize_lines makes, one for every gate and every
// qubit, refused when the grid would be too large.  Every drawing checks it
// before it places a gate, whether or not it builds that grid, so that the
// drawings refuse the same pictures.
std::uint64_t grid_layers(const Sizes &s, Py_ssize_t ngates) {
    const auto layers = static_cast<std::uint64_t>(ngates) + static_cast<std::uint64_t>(s.nqubits);
    const auto rows = static_cast<std::uint64_t>(row_count(s));
    if (rows > tx::kMaxCells / (layers + 1))
        vx::raise(PyExc_MemoryError,
                  "the picture's grid would have " + std::to_string(rows) + " rows by " + std::to_string(layers + 1) +
                      " columns (the labels and " + std::to_string(ngates) + " + " + std::to_string(s.nqubits) +
                      " layers, one per gate and per qubit), more than " + std::to_string(tx::kMaxCells) + " cells");
    return layers;
}

nb::object initialize_lines(const vx::Args &a) {
    const Sizes s = sized([&] { return sizes(a); });
    const std::uint64_t layers = grid_layers(s, PyList_GET_SIZE(a.ptr(2)));
    tx::TextTable texts;
    auto ids = [&](const std::vector<tx::Text> &col) {
        std::vector<tx::TextId> out;
        for (const tx::Text &t : col)
            out.push_back(texts.id(t));
        return out;
    };
    const std::vector<tx::TextId> blank = ids(tx::blank_column(s.nqubits, s.ncbits));
    const std::vector<tx::TextId> labels = ids(tx::label_column(s.nqubits, s.ncbits));
    StrCache strs(texts);
    vx::GcPause pause;
    nb::object element = column_list(blank, strs);
    nb::object grid = vx::own(PyList_New(static_cast<Py_ssize_t>(layers + 1)));
    PyList_SET_ITEM(grid.ptr(), 0, column_list(labels, strs).release().ptr());
    for (std::uint64_t i = 1; i <= layers; ++i) {
        vx::poll_signals(i, 1 << 12);
        PyList_SET_ITEM(grid.ptr(), static_cast<Py_ssize_t>(i), column_list(blank, strs).release().ptr());
    }
    return pair(element, grid);
}

// ------------------------------------------------------- generate_gates_layerd

// The gates placed on a grid of the module's own, its layers made as needed.
struct Picture {
    tx::Grid grid;
    std::vector<std::int64_t> lines_use;
};

Picture draw(const vx::Args &a, const Sizes &s) {
    grid_layers(s, PyList_GET_SIZE(a.ptr(2)));
    Picture p{sized([&] {
                  return tx::Grid(s.nqubits, tx::blank_column(s.nqubits, s.ncbits),
                                  tx::label_column(s.nqubits, s.ncbits));
              }),
              {}};
    Placer placer(a, p.grid, s.nqubits, a.ptr(3));
    sized([&] {
        placer.place_all(a.ptr(2));
        return 0;
    });
    p.lines_use = std::move(placer.lines_use());
    return p;
}

nb::object columns_of(const tx::Grid &g) {
    StrCache strs(g.texts());
    const std::size_t n = g.used();
    vx::GcPause pause;
    nb::object out = vx::own(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t c = 0; c < n; ++c) {
        vx::poll_signals(c, 1 << 12);
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(c), column_list(grid_column(g, c), strs).release().ptr());
    }
    return out;
}

// The grid a replaced initialize_lines returned: a list of columns (the
// labels first), each its own list of str cells, as many as its blank
// column has.  `columns` is a copy of the outer list, taken when the grid
// is loaded.
struct Handed {
    nb::object element, columns;
};

[[noreturn]] void bad_grid(const std::string &why) {
    vx::type_error("initialize_lines must return a blank column and a list of columns of str cells: " + why);
}

std::vector<tx::Text> texts_of_column(PyObject *col, Py_ssize_t rows, const char *what) {
    if (!PyList_CheckExact(col))
        bad_grid(std::string(what) + " is " + vx::describe(col) + ", not a list");
    if (PyList_GET_SIZE(col) != rows)
        bad_grid(std::string(what) + " has " + std::to_string(PyList_GET_SIZE(col)) + " cells, the blank column " +
                 std::to_string(rows));
    std::vector<tx::Text> out;
    out.reserve(static_cast<std::size_t>(rows));
    for (Py_ssize_t r = 0; r < rows; ++r) {
        PyObject *cell = PyList_GET_ITEM(col, r);
        if (!PyUnicode_Check(cell))
            bad_grid(std::string(what) + " holds " + vx::describe(cell) + ", not a str");
        out.push_back(text_of(cell));
    }
    return out;
}

tx::Grid load_grid(const Handed &h, const Sizes &s) {
    PyObject *el = h.element.ptr(), *cols = h.columns.ptr();
    if (!PyList_CheckExact(el))
        bad_grid("the blank column is " + vx::describe(el) + ", not a list");
    if (!PyList_CheckExact(cols) || PyList_GET_SIZE(cols) == 0)
        bad_grid("the columns are " + vx::describe(cols) + ", not a list holding the label column");
    const Py_ssize_t rows = PyList_GET_SIZE(el);
    if (rows < 2 * s.nqubits + 1)
        vx::value_error("initialize_lines returned a blank column of " + std::to_string(rows) + " rows; " +
                        std::to_string(s.nqubits) + " qubits need at least " + std::to_string(2 * s.nqubits + 1));
    std::unordered_set<PyObject *> seen{el};
    for (Py_ssize_t c = 0; c < PyList_GET_SIZE(cols); ++c)
        if (!seen.insert(PyList_GET_ITEM(cols, c)).second)
            vx::value_error("initialize_lines returned columns that share a list; every column must be its own");
    tx::Grid g(s.nqubits, texts_of_column(el, rows, "the blank column"),
               texts_of_column(PyList_GET_ITEM(cols, 0), rows, "the label column"));
    for (Py_ssize_t c = 1; c < PyList_GET_SIZE(cols); ++c)
        g.add_layer(texts_of_column(PyList_GET_ITEM(cols, c), rows, "a layer"));
    return g;
}

// Places the gates on the grid a replaced initialize_lines returned and
// writes the cells into its columns; layers beyond them are new lists.
nb::object draw_on_handed(const vx::Args &a, const Sizes &s, nb::handle init) {
    nb::object result = vx::call(init, {a[0], a[1], a[2]});
    auto [element, columns] = vx::unpack2(result);
    if (PyList_CheckExact(columns.ptr()))
        columns = vx::own(PyList_GetSlice(columns.ptr(), 0, PY_SSIZE_T_MAX));
    const Handed h{element, columns};
    tx::Grid g = sized([&] { return load_grid(h, s); });
    g.log_writes();
    Placer placer(a, g, s.nqubits, a.ptr(3));
    sized([&] {
        placer.place_all(a.ptr(2));
        return 0;
    });
    const std::size_t handed = static_cast<std::size_t>(PyList_GET_SIZE(h.columns.ptr()));
    const std::size_t n = g.used();
    StrCache strs(g.texts());
    for (const auto &[c, r] : g.writes()) {  // everything checked and made first: nothing below fails
        if (c < handed) {
            PyObject *col = PyList_GET_ITEM(h.columns.ptr(), static_cast<Py_ssize_t>(c));
            if (!PyList_CheckExact(col) || PyList_GET_SIZE(col) != g.rows().count)
                vx::raise(PyExc_RuntimeError, "a column of the grid changed while the gates were placed");
        }
        strs.get(g.cell(c, r));
    }
    nb::object out = vx::own(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t c = n; c-- > 0;) {
        if (c < handed) {
            PyObject *col = PyList_GET_ITEM(h.columns.ptr(), static_cast<Py_ssize_t>(c));
            Py_INCREF(col);
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(c), col);
        } else {
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(c),
                            column_list(grid_column(g, c), strs).release().ptr());
        }
    }
    for (const auto &[c, r] : g.writes()) {
        if (c >= handed)
            continue;
        PyObject *cell = strs.get(g.cell(c, r));
        Py_INCREF(cell);
        PyList_SetItem(PyList_GET_ITEM(h.columns.ptr(), static_cast<Py_ssize_t>(c)), r, cell);
    }
    return pair(out, list_of_lines(placer.lines_use()));
}

nb::object generate_gates_layerd(const vx::Args &a) {
    const Sizes s = sized([&] { return sizes(a); });
    nb::handle init = a.global("initialize_lines");
    vx::PathChoice path("generate_gates_layerd");
    if (!path.fast() || !path.require(own(init, initialize_lines), "initialize_lines is not the package's own"))
        return draw_on_handed(a, s, init);
    Picture p = draw(a, s);
    nb::object columns = columns_of(p.grid);
    return pair(columns, list_of_lines(p.lines_use));
}

// --------------------------------------------------------- format_gates_layerd

// The chain below format_gates_layerd is the module's own.
bool own_layering(const vx::Args &a, vx::PathChoice &path) {
    return path.fast() &&
           path.require(own(a.global("generate_gates_layerd"), generate_gates_layerd),
                        "generate_gates_layerd is not the package's own") &&
           path.require(own(a.global("initialize_lines"), initialize_lines),
                        "initialize_lines is not the package's own");
}

// A cell brought to a width with a fill character, made once for each such
// triple: most cells of a picture are the same few texts.
class Padder {
public:
    explicit Padder(tx::TextTable &texts) : texts_(texts) {}
    tx::TextId operator()(tx::TextId id, std::size_t width, char32_t fill) {
        const Key key{id, width, fill};
        auto it = done_.find(key);
        if (it != done_.end())
            return it->second;
        buf_.clear();
        tx::TextSink sink{buf_};
        tx::put_padded(sink, texts_.text(id), width, fill);
        const tx::TextId padded = texts_.id(buf_);
        done_.emplace(key, padded);
        return padded;
    }

private:
    struct Key {
        tx::TextId id;
        std::size_t width;
        char32_t fill;
        bool operator==(const Key &) const = default;
    };
    struct Hash {
        std::size_t operator()(const Key &k) const {
            return (static_cast<std::size_t>(k.id) * 0x9e3779b97f4a7c15ull) ^ (k.width << 21) ^ k.fill;
        }
    };
    tx::TextTable &texts_;
    tx::Text buf_;
    std::unordered_map<Key, tx::TextId, Hash> done_;
};

nb::object formatted_columns(tx::Grid &g) {
    const std::size_t n = g.used();
    const std::vector<std::size_t> widths = tx::layout(g, n).widths;
    const tx::Rows rows = g.rows();
    std::vector<tx::TextId> cells(static_cast<std::size_t>(rows.count));
    Padder pad(g.texts());
    StrCache strs(g.texts());
    vx::GcPause pause;
    nb::object out = vx::own(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t c = 0; c < n; ++c) {
        vx::poll_signals(c, 1 << 12);
        for (std::int64_t r = 0; r < rows.count; ++r) {
            const tx::TextId id = g.cell(c, r);
            cells[static_cast<std::size_t>(r)] = widths[c] ? pad(id, widths[c], rows.fill(r)) : id;
        }
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(c), column_list(cells, strs).release().ptr());
    }
    return out;
}

// Pads the layers of columns a replaced generate_gates_layerd returned, in
// place; every new cell is made before the first is stored.
nb::object format_handed(nb::handle columns, long long nqubits) {
    PyObject *cols = columns.ptr();
    if (!PyList_Check(cols) || PyList_GET_SIZE(cols) == 0)
        vx::type_error("generate_gates_layerd must return a list of columns, the label column first; got " +
                       vx::describe(cols));
    const Py_ssize_t n = PyList_GET_SIZE(cols);
    nb::object out = vx::own(PyList_GetSlice(cols, 0, n));
    std::vector<std::pair<PyObject *, std::vector<nb::object>>> padded;
    tx::Text buf;
    for (Py_ssize_t c = 1; c < n; ++c) {
        PyObject *layer = PyList_GET_ITEM(cols, c);
        if (!PyList_Check(layer))
            vx::type_error("a layer must be a list of str cells, got " + vx::describe(layer));
        const Py_ssize_t rows = PyList_GET_SIZE(layer);
        std::size_t longest = 0;
        for (Py_ssize_t r = 0; r < rows; ++r) {
            PyObject *cell = PyList_GET_ITEM(layer, r);
            if (!PyUnicode_Check(cell))
                vx::type_error("a layer must be a list of str cells, got the cell " + vx::describe(cell));
            longest = std::max(longest, static_cast<std::size_t>(PyUnicode_GET_LENGTH(cell)));
        }
        const std::size_t width = tx::padded_width(longest);
        if (!width)
            continue;
        const tx::Rows kinds{nqubits, rows};
        auto &cells = padded.emplace_back(layer, std::vector<nb::object>{}).second;
        for (Py_ssize_t r = 0; r < rows; ++r) {
            buf.clear();
            tx::TextSink sink{buf};
            tx::put_padded(sink, text_of(PyList_GET_ITEM(layer, r)), width, kinds.fill(r));
            cells.push_back(str_of(buf));
        }
    }
    for (auto &[layer, cells] : padded)
        for (std::size_t r = 0; r < cells.size(); ++r)
            vx::check(PyList_SetItem(layer, static_cast<Py_ssize_t>(r), cells[r].release().ptr()));
    return out;
}

nb::object format_gates_layerd(const vx::Args &a) {
    const Sizes s = sized([&] { return sizes(a); });
    vx::PathChoice path("format_gates_layerd");
    if (own_layering(a, path)) {
        Picture p = draw(a, s);
        nb::object columns = formatted_columns(p.grid);
        return pair(columns, list_of_lines(p.lines_use));
    }
    nb::object result = vx::call(a.global("generate_gates_layerd"), {a[0], a[1], a[2], a[3]});
    auto [columns, lines_use] = vx::unpack2(result);
    nb::object formatted = format_handed(columns, s.nqubits);
    return pair(formatted, lines_use);
}

// ----------------------------------------------------------- add_gates_to_lines

// The spacer width: no spacer for a negative one, too large for the limits
// beyond them.
long long spacer_of(PyObject *width) {
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(width, &overflow);
    if (w == -1 && PyErr_Occurred())
        throw vx::error_already_set{};
    if (overflow < 0 || w < 0)
        return 0;
    if (overflow > 0 || static_cast<unsigned long long>(w) > tx::kMaxChars)
        throw tx::TooLarge("a spacer of more than " + std::to_string(tx::kMaxChars) + " characters");
    return w;
}

// Writes a row straight into a new str of the row's length and widest
// character.
struct StrSink {
    int kind;
    void *data;
    std::size_t at = 0;

    template <class C> void copy(tx::TextView t) {
        C *p = static_cast<C *>(data) + at;
        for (std::size_t i = 0; i < t.size(); ++i)
            p[i] = static_cast<C>(t[i]);
    }
    template <class C> void repeat(char32_t c, std::size_t n) {
        std::fill_n(static_cast<C *>(data) + at, n, static_cast<C>(c));
    }

    void text(tx::TextView t) {
        switch (kind) {
        case PyUnicode_1BYTE_KIND: copy<Py_UCS1>(t); break;
        case PyUnicode_2BYTE_KIND: copy<Py_UCS2>(t); break;
        default: copy<Py_UCS4>(t); break;
        }
        at += t.size();
    }
    void fill(char32_t c, std::size_t n) {
        switch (kind) {
        case PyUnicode_1BYTE_KIND: repeat<Py_UCS1>(c, n); break;
        case PyUnicode_2BYTE_KIND: repeat<Py_UCS2>(c, n); break;
        default: repeat<Py_UCS4>(c, n); break;
        }
        at += n;
    }
};

nb::object joined_rows(const tx::Grid &g, long long spacer) {
    const tx::Layout l = tx::layout(g, g.used());
    sized([&] {
        tx::check_row_size(g, l, spacer);
        return 0;
    });
    const std::int64_t count = g.rows().count;
    nb::object out = vx::own(PyList_New(static_cast<Py_ssize_t>(count)));
    tx::MeasureSink measures[tx::kRowBlock];
    StrSink sinks[tx::kRowBlock];
    for (std::int64_t r0 = 0; r0 < count; r0 += tx::kRowBlock) {
        vx::check(PyErr_CheckSignals());
        const std::int64_t r1 = std::min(count, r0 + tx::kRowBlock);
        std::fill(measures, measures + tx::kRowBlock, tx::MeasureSink{});
        tx::put_rows(g, l, spacer, r0, r1, measures);
        for (std::int64_t r = r0; r < r1; ++r) {
            const tx::MeasureSink &m = measures[r - r0];
            PyObject *s = vx::check(PyUnicode_New(static_cast<Py_ssize_t>(m.length), m.maxchar));
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(r), s);
            sinks[r - r0] = StrSink{static_cast<int>(PyUnicode_KIND(s)), PyUnicode_DATA(s)};
        }
        tx::put_rows(g, l, spacer, r0, r1, sinks);
        for (std::int64_t i = 0; i < r1 - r0; ++i)
            if (sinks[i].at != measures[i].length)
                vx::raise(PyExc_SystemError, "a row of the picture came out longer or shorter than measured");
    }
    return out;
}

// Joins the columns a replaced format_gates_layerd returned, row by row,
// for as many rows as the label column has.
nb::object join_handed(nb::handle columns, long long nqubits, long long spacer) {
    PyObject *cols = columns.ptr();
    if (!PyList_Check(cols) || PyList_GET_SIZE(cols) == 0 || !PyList_Check(PyList_GET_ITEM(cols, 0)))
        vx::type_error("format_gates_layerd must return a list of lists of str cells, the label column first; got " +
                       vx::describe(cols));
    nb::object snapshot = vx::own(PyList_GetSlice(cols, 0, PY_SSIZE_T_MAX));
    const Py_ssize_t n = PyList_GET_SIZE(snapshot.ptr());
    const Py_ssize_t nl = PyList_GET_SIZE(PyList_GET_ITEM(snapshot.ptr(), 0));
    for (Py_ssize_t c = 0; c < n; ++c) {
        PyObject *col = PyList_GET_ITEM(snapshot.ptr(), c);
        if (!PyList_Check(col) || PyList_GET_SIZE(col) < nl)
            vx::type_error("every column must be a list with a cell for each row of the label column, got " +
                           vx::describe(col));
    }
    const tx::Rows kinds{nqubits, nl};
    nb::object out = vx::own(PyList_New(nl));
    std::uint64_t total = 0;
    tx::Text buf;
    for (Py_ssize_t r = 0; r < nl; ++r) {
        vx::check(PyErr_CheckSignals());
        buf.clear();
        const char32_t fill = kinds.fill(r);
        for (Py_ssize_t c = 0; c < n; ++c) {
            PyObject *cell = PyList_GET_ITEM(PyList_GET_ITEM(snapshot.ptr(), c), r);
            if (!PyUnicode_Check(cell))
                vx::type_error("a cell must be a str, got " + vx::describe(cell));
            total += static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(cell)) + static_cast<std::uint64_t>(spacer);
            if (total > tx::kMaxChars)
                vx::raise(PyExc_MemoryError,
                          "the picture's rows would hold more than " + std::to_string(tx::kMaxChars) + " characters");
            buf += text_of(cell);
            buf.append(static_cast<std::size_t>(spacer), fill);
        }
        PyList_SET_ITEM(out.ptr(), r, str_of(buf).release().ptr());
    }
    return out;
}

nb::object add_gates_to_lines(const vx::Args &a) {
    const Sizes s = sized([&] { return sizes(a); });
    const long long spacer = sized([&] { return spacer_of(a.ptr(4)); });
    nb::handle format = a.global("format_gates_layerd");
    vx::PathChoice path("add_gates_to_lines");
    if (path.require(own(format, format_gates_layerd), "format_gates_layerd is not the package's own") &&
        own_layering(a, path)) {
        Picture p = draw(a, s);
        nb::object rows = joined_rows(p.grid, spacer);
        return pair(rows, list_of_lines(p.lines_use));
    }
    nb::object result = vx::call(format, {a[0], a[1], a[2], a[3]});
    auto [columns, lines_use] = vx::unpack2(result);
    nb::object rows = join_handed(columns, s.nqubits, spacer);
    return pair(rows, lines_use);
}

// ------------------------------------------------------------------ the defs

vx::FunctionDef initialize_lines_def() {
    return {.name = "initialize_lines",
            .impl = initialize_lines,
            .params = {{"nqubits", vx::Conv::Int}, {"ncbits", vx::Conv::Int}, {"gates", vx::Conv::List}},
            .doc = "Initialize a blank circuit."};
}

const std::vector<vx::Param> kDrawParams = {
    {"nqubits", vx::Conv::Int}, {"ncbits", vx::Conv::Int}, {"gates", vx::Conv::List}, {"params_value", vx::Conv::Dict}};

vx::FunctionDef generate_gates_layerd_def() {
    return {.name = "generate_gates_layerd",
            .impl = generate_gates_layerd,
            .params = kDrawParams,
            .return_annotation = "tuple[list, list]"};
}

vx::FunctionDef format_gates_layerd_def() {
    return {.name = "format_gates_layerd", .impl = format_gates_layerd, .params = kDrawParams};
}

vx::FunctionDef add_gates_to_lines_def() {
    std::vector<vx::Param> params = kDrawParams;
    params.push_back({"width", vx::Conv::Int});
    return {.name = "add_gates_to_lines", .impl = add_gates_to_lines, .params = params, .defaults = {vx::int_obj(4)}};
}

Register reg_initialize_lines("initialize_lines", initialize_lines_def);
Register reg_generate_gates_layerd("generate_gates_layerd", generate_gates_layerd_def);
Register reg_format_gates_layerd("format_gates_layerd", format_gates_layerd_def);
Register reg_add_gates_to_lines("add_gates_to_lines", add_gates_to_lines_def);

}  // namespace
}  // namespace gatework::drawing
