// vexal.circuit.matrix: the basis-state columns: ket0 and ket1, and the
// columns of n qubits that ketn0 and ketn1 make from them.
#include "matrix.hpp"

namespace matrix {

void bind_columns(nb::handle m, nb::handle np) {
    PyObject *o = C.zero, *i1 = C.one;
    m.attr("ket0") = array_of_rows(np, {{i1}, {o}});
    m.attr("ket1") = array_of_rows(np, {{o}, {i1}});
    vx::keep_original(m, "ket0");
    vx::keep_original(m, "ket1");
}

namespace {

// The largest n whose 2^n complex amplitudes (16 bytes each) numpy can
// describe at all; beyond it no allocation is tried.
constexpr long long kMaxKetQubits = 58;

// Whether `ket` still holds its load-time values ([1, 0] or [0, 1] as a
// 2 x 1 complex column).
bool pristine(nb::handle ket, bool one) {
    Py_buffer view;
    if (PyObject_GetBuffer(ket.ptr(), &view, PyBUF_FULL_RO) < 0) {
        vx::clear_ordinary_error();
        return false;
    }
    bool ok = view.ndim == 2 && view.shape[0] == 2 && view.shape[1] == 1 && view.itemsize == 16 && view.format &&
              std::strcmp(view.format, "Zd") == 0 && view.strides && view.suboffsets == nullptr;
    if (ok) {
        cplx v[2];
        for (int i = 0; i < 2; ++i)
            std::memcpy(&v[i], static_cast<const char *>(view.buf) + i * view.strides[0], sizeof(cplx));
        const cplx hi{1.0, 0.0}, lo{0.0, 0.0};
        ok = same(v[0], one ? lo : hi) && same(v[1], one ? hi : lo);
    }
    PyBuffer_Release(&view);
    return ok;
}

// The fast path: the column of n qubits, zeros but for the 1 at its first
// (ket0) or last (ket1) row, as the products of the module's own ket give it.
nb::object fast_column(long long n, bool one) {
    const long long rows = 1LL << n;
    nb::object shape = vx::own(Py_BuildValue("(Li)", rows, 1));
    nb::object arr = call(C.zeros, {shape.ptr(), C.cdtype});
    Py_buffer view;
    vx::check(PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS));
    const cplx unit{1.0, 0.0};
    const long long at = one ? rows - 1 : 0;
    std::memcpy(static_cast<char *>(view.buf) + at * static_cast<long long>(sizeof(cplx)), &unit, sizeof(cplx));
    PyBuffer_Release(&view);
    return arr;
}

// ketn0 / ketn1: the fast path while `np`, the ket and its values are the
// module's own; otherwise the reference path, np.kron of the ket n - 1 times.
nb::object ketn(const vx::Args &a, bool one) {
    PyObject *nobj = a.ptr(0);
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(nobj, &overflow);
    if (n == -1 && !overflow && PyErr_Occurred())
        throw vx::error_already_set{};
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        PyErr_Format(PyExc_ValueError, "%s needs at least one qubit, got %S", one ? "ketn1" : "ketn0", nobj);
        throw vx::error_already_set{};
    }
    nb::object ket = nb::borrow(a.global(one ? C.s_ket1 : C.s_ket0));
    if (n == 1)
        return ket;
    if (overflow > 0 || n > kMaxKetQubits) {
        PyErr_Format(PyExc_MemoryError,
                     "Unable to allocate the state column of %S qubits: 2**%S amplitudes exceed the "
                     "addressable memory",
                     nobj, nobj);
        throw vx::error_already_set{};
    }
    nb::object np = np_of(a);
    if (vx::is_original(a, "np") && vx::is_original(a, one ? "ket1" : "ket0") && pristine(ket, one))
        return fast_column(n, one);
    {
        // The products below fill every amplitude; first make sure the
        // final column can be allocated at all, so that a hopeless n fails
        // at once with numpy's MemoryError instead of after filling memory.
        nb::object shape = vx::own(Py_BuildValue("(Li)", 1LL << n, 1));
        call(C.empty, {shape.ptr(), C.cdtype});
    }
    nb::object kron = vx::own(PyObject_GetAttrString(np.ptr(), "kron"));
    nb::object state = ket;
    for (long long i = 1; i < n; ++i)
        state = call(kron.ptr(), {state.ptr(), ket.ptr()});
    return state;
}

}  // namespace

nb::object ketn0(const vx::Args &a) { return ketn(a, false); }
nb::object ketn1(const vx::Args &a) { return ketn(a, true); }

}  // namespace matrix
