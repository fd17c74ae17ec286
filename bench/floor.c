/* The least work any function that reads a dict {(u, v): weight} and returns
 * a dict {(i, j): distance} must do, written straight against the C API.
 *
 * floor(edges, n, count[, values]) first walks `edges` the way an
 * implementation has to: every key's two items are hashed with PyObject_Hash
 * and every value is read with PyLong_AsUnsignedLong.  It then builds a dict
 * of `count` entries from C: node ints 0 .. n-1 are made once and shared by
 * all keys; the key of entry k is a new 2-tuple (k // n, k % n) and its value
 * comes from PyLong_FromUnsignedLong(values[k % len(values)]).  `values` is a
 * buffer of unsigned 32-bit ints, normally the values of the real result, so
 * that the small-int cache helps the floor exactly as much as the result; by
 * default every value is a new int above that cache.  The dict grows from
 * empty through PyDict_SetItem, as when the size is not known in advance.
 *
 * With batch > 0 (floor(edges, n, count, values, batch)) the entries are made
 * `batch` at a time, key tuples and value ints, and then inserted in the same
 * order: the make-then-insert loop, which keeps each step's code and data
 * hot.  batch >= count makes every entry first.
 *
 * bench_peers.py compiles this file itself with the running interpreter's
 * headers; velkor itself does not use it.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

static volatile Py_hash_t sink;

static unsigned long
value_at(const uint32_t *values, Py_ssize_t values_len, Py_ssize_t k)
{
    return values != NULL ? (unsigned long)values[k % values_len] : 1000UL + (unsigned long)(k & 0xffff);
}

/* Entry k of the result: a new key tuple (nodes[k // n], nodes[k % n]) and a
 * new value int. Returns 0, or -1 with nothing held. */
static int
make_entry(PyObject **nodes, Py_ssize_t n, const uint32_t *values, Py_ssize_t values_len,
           Py_ssize_t k, PyObject **key, PyObject **value)
{
    PyObject *a = nodes[k / n], *b = nodes[k % n];
    PyObject *t = PyTuple_New(2);
    PyObject *v = PyLong_FromUnsignedLong(value_at(values, values_len, k));
    if (t == NULL || v == NULL) {
        Py_XDECREF(t);
        Py_XDECREF(v);
        return -1;
    }
    Py_INCREF(a);
    Py_INCREF(b);
    PyTuple_SET_ITEM(t, 0, a);
    PyTuple_SET_ITEM(t, 1, b);
    *key = t;
    *value = v;
    return 0;
}

/* The make-then-insert loop: entries made `batch` at a time, then inserted.
 * Returns `out`, or NULL (with `out` released) on failure. */
static PyObject *
build_batched(PyObject *out, PyObject **nodes, Py_ssize_t n, Py_ssize_t count,
              const uint32_t *values, Py_ssize_t values_len, Py_ssize_t batch)
{
    if (out == NULL)
        return NULL;
    if (batch > count)
        batch = count > 0 ? count : 1;
    PyObject **made = PyMem_Malloc(sizeof(PyObject *) * 2 * (size_t)batch);
    if (made == NULL) {
        Py_DECREF(out);
        return PyErr_NoMemory();
    }
    for (Py_ssize_t first = 0; first < count; first += batch) {
        Py_ssize_t size = count - first < batch ? count - first : batch, k;
        for (k = 0; k < size; k++)
            if (make_entry(nodes, n, values, values_len, first + k, &made[2 * k], &made[2 * k + 1]) < 0)
                break;
        Py_ssize_t inserted = 0;
        if (k == size)
            for (; inserted < size; inserted++)
                if (PyDict_SetItem(out, made[2 * inserted], made[2 * inserted + 1]) < 0)
                    break;
        for (Py_ssize_t j = 0; j < k; j++) {
            Py_DECREF(made[2 * j]);
            Py_DECREF(made[2 * j + 1]);
        }
        if (k < size || inserted < size) {
            Py_CLEAR(out);
            break;
        }
    }
    PyMem_Free(made);
    return out;
}

static PyObject *
floor_impl(PyObject *self, PyObject *args)
{
    (void)self;
    PyObject *edges, *values_obj = NULL;
    Py_ssize_t n, count, batch = 0;
    if (!PyArg_ParseTuple(args, "O!nn|On", &PyDict_Type, &edges, &n, &count, &values_obj, &batch))
        return NULL;
    if (n <= 0 || count < 0 || batch < 0) {
        PyErr_SetString(PyExc_ValueError, "need n > 0, count >= 0 and batch >= 0");
        return NULL;
    }
    Py_buffer view = {0};
    const uint32_t *values = NULL;
    Py_ssize_t values_len = 0;
    if (values_obj != NULL && values_obj != Py_None) {
        if (PyObject_GetBuffer(values_obj, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
            return NULL;
        if (view.itemsize != 4 || view.format == NULL || strchr("IL", view.format[0]) == NULL
                || view.len == 0) {
            PyBuffer_Release(&view);
            PyErr_SetString(PyExc_TypeError, "values must be a non-empty buffer of uint32 (array('I'))");
            return NULL;
        }
        values = (const uint32_t *)view.buf;
        values_len = view.len / 4;
    }

    /* Read the input. */
    Py_hash_t acc = 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(edges, &pos, &key, &value)) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) < 2) {
            PyErr_SetString(PyExc_TypeError, "keys must be 2-tuples");
            return NULL;
        }
        Py_hash_t hu = PyObject_Hash(PyTuple_GET_ITEM(key, 0));
        Py_hash_t hv = PyObject_Hash(PyTuple_GET_ITEM(key, 1));
        unsigned long w = PyLong_AsUnsignedLong(value);
        if (hu == -1 || hv == -1 || (w == (unsigned long)-1 && PyErr_Occurred())) {
            if (values != NULL)
                PyBuffer_Release(&view);
            return NULL;
        }
        acc ^= hu + 31 * hv + (Py_hash_t)w;
    }
    sink = acc;

    /* Build the result. */
    Py_ssize_t rows = (count + n - 1) / n;
    Py_ssize_t nodes_len = rows > n ? rows : n;
    PyObject **nodes = PyMem_Malloc(sizeof(PyObject *) * (size_t)nodes_len);
    if (nodes == NULL) {
        if (values != NULL)
            PyBuffer_Release(&view);
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < nodes_len; i++) {
        nodes[i] = PyLong_FromSsize_t(i);
        if (nodes[i] == NULL) {
            while (i--)
                Py_DECREF(nodes[i]);
            PyMem_Free(nodes);
            if (values != NULL)
                PyBuffer_Release(&view);
            return NULL;
        }
    }

    PyObject *out = PyDict_New();
    if (batch > 0) {
        out = build_batched(out, nodes, n, count, values, values_len, batch);
        count = 0;  /* built: the loop below makes nothing */
    }
    for (Py_ssize_t k = 0; out != NULL && k < count; k++) {
        PyObject *t, *v;
        if (make_entry(nodes, n, values, values_len, k, &t, &v) < 0) {
            Py_CLEAR(out);
            break;
        }
        int rc = PyDict_SetItem(out, t, v);
        Py_DECREF(t);
        Py_DECREF(v);
        if (rc < 0)
            Py_CLEAR(out);
    }

    for (Py_ssize_t i = 0; i < nodes_len; i++)
        Py_DECREF(nodes[i]);
    PyMem_Free(nodes);
    if (values != NULL)
        PyBuffer_Release(&view);
    return out;
}

static PyMethodDef methods[] = {
    {"floor", floor_impl, METH_VARARGS,
     "floor(edges, n, count[, values[, batch]]) -> dict: read edges, build a count-entry dict"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_bench_floor", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__bench_floor(void)
{
    return PyModule_Create(&module);
}
