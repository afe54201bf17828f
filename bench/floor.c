/* The floors: the least a C programmer writing straight on the CPython C API
 * would do for the same calls over the same library. Benchmark-only; not part
 * of the module. Library operations are reached through addresses handed in
 * by the driver (the C symbols of the library instance the module uses). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>
#include <sched.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef const char* text;

typedef struct {
    uint64_t reserved0;
    text channel_id;
    uint64_t reserved1;
    uint8_t enable_queue;
    text daemon_type;
    int32_t max_torelation;
} Config;

typedef struct {
    const void* items;
    int64_t count;
    uint64_t unread;
    uint8_t success;
    int32_t status_code;
    text message;
    text internal_error;
} RecordList;

typedef struct {
    uint8_t success;
    int32_t status_code;
    unsigned char record[232];
    text message;
    text internal_error;
} EquityOrderResult;

_Static_assert(sizeof(Config) == 48, "config");
_Static_assert(sizeof(RecordList) == 48, "record list");
_Static_assert(sizeof(EquityOrderResult) == 256, "equity order result");

typedef RecordList (*ListOp)(const Config*, text);
typedef EquityOrderResult (*OrderOp)(const Config*, text, text);

/* ------------------------------------------------------------ record tables */
enum { T, I, D, B };
typedef struct {
    const char* key;
    int kind;
    unsigned offset;
} FieldDef;

static const FieldDef equity_order[] = {
    {"can_cancel", B, 0},
    {"can_change_account", B, 1},
    {"account_no", T, 8},
    {"balance", I, 16},
    {"cancel_id", T, 24},
    {"cancel_time", T, 32},
    {"cancelled", I, 40},
    {"counter_party_member", T, 48},
    {"enter_id", T, 56},
    {"entry_time", T, 64},
    {"iceberg_vol", I, 72},
    {"matched", I, 76},
    {"nvdr_flag", T, 80},
    {"order_no", T, 88},
    {"order_type", T, 96},
    {"price", D, 104},
    {"price_type", T, 112},
    {"reject_code", I, 120},
    {"reject_reason", T, 128},
    {"set_order_no", T, 136},
    {"show_order_status", T, 144},
    {"show_order_status_meaning", T, 152},
    {"side", T, 160},
    {"status", T, 168},
    {"symbol", T, 176},
    {"trade_date", T, 184},
    {"trade_report_type", T, 192},
    {"trade_time", T, 200},
    {"validity", T, 208},
    {"version", I, 216},
    {"vol", I, 220},
    {"can_change_price_vol", B, 224},
    {"can_change_trustee_id", B, 225},
    {"trade_report", B, 226},
};

static const FieldDef derivatives_position[] = {
    {"account_no", T, 8},
    {"actual_long_position", I, 16},
    {"actual_short_position", I, 20},
    {"as_of_date_xrt", T, 24},
    {"available_long_position", I, 32},
    {"available_short_position", I, 36},
    {"avg_xrt_long", D, 40},
    {"avg_xrt_long_cost", D, 48},
    {"avg_xrt_short", D, 56},
    {"avg_xrt_short_cost", D, 64},
    {"broker_id", T, 72},
    {"close_long_position", I, 80},
    {"close_short_position", I, 84},
    {"currency", T, 88},
    {"current_xrt", D, 96},
    {"has_long_position", B, 0},
    {"has_short_position", B, 304},
    {"last_trading_date", T, 104},
    {"long_avg_cost", D, 112},
    {"long_avg_price", D, 120},
    {"market_price", D, 128},
    {"multiplier", D, 136},
    {"open_long_position", I, 144},
    {"open_short_position", I, 148},
    {"realized_pl", D, 152},
    {"realized_pl_by_cost", D, 160},
    {"realized_pl_by_cost_currency", D, 168},
    {"realized_pl_currency", D, 176},
    {"security_type", T, 184},
    {"short_avg_cost", D, 192},
    {"short_avg_price", D, 200},
    {"start_long_cost", D, 208},
    {"start_long_position", I, 216},
    {"start_long_price", D, 224},
    {"start_short_cost", D, 232},
    {"start_short_position", I, 240},
    {"start_short_price", D, 248},
    {"start_xrt_long", D, 256},
    {"start_xrt_long_cost", D, 264},
    {"start_xrt_short", D, 272},
    {"start_xrt_short_cost", D, 280},
    {"symbol", T, 288},
    {"underlying", T, 296},
};

#define NFIELDS(t) (sizeof(t) / sizeof((t)[0]))

typedef struct {
    const FieldDef* fields;
    Py_ssize_t n;
    size_t size;
    PyObject** keys;
} Table;

static Table equity_order_table = {equity_order, NFIELDS(equity_order), 232, NULL};
static Table derivatives_position_table = {derivatives_position, NFIELDS(derivatives_position), 312, NULL};

static int intern_table(Table* t) {
    t->keys = PyMem_Calloc((size_t)t->n, sizeof(PyObject*));
    if (!t->keys) return -1;
    for (Py_ssize_t i = 0; i < t->n; ++i) {
        t->keys[i] = PyUnicode_InternFromString(t->fields[i].key);
        if (!t->keys[i]) return -1;
    }
    return 0;
}

static PyObject* text_value(text s) {
    if (!s) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(s, (Py_ssize_t)strlen(s), NULL);
}

static PyObject* convert(const Table* t, const char* rec) {
    PyObject* d = _PyDict_NewPresized(t->n);
    if (!d) return NULL;
    for (Py_ssize_t i = 0; i < t->n; ++i) {
        const FieldDef* f = &t->fields[i];
        const char* at = rec + f->offset;
        PyObject* v;
        switch (f->kind) {
            case T: {
                text s;
                memcpy(&s, at, sizeof s);
                v = text_value(s);
                break;
            }
            case I: {
                int32_t x;
                memcpy(&x, at, sizeof x);
                v = PyLong_FromLong(x);
                break;
            }
            case D: {
                double x;
                memcpy(&x, at, sizeof x);
                v = PyFloat_FromDouble(x);
                break;
            }
            default:
                v = PyBool_FromLong(*(const unsigned char*)at != 0);
        }
        if (!v || PyDict_SetItem(d, t->keys[i], v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(d);
            return NULL;
        }
        Py_DECREF(v);
    }
    return d;
}

static PyObject* convert_list(const Table* t, const void* items, int64_t count) {
    Py_ssize_t n = count > 0 ? (Py_ssize_t)count : 0;
    PyObject* l = PyList_New(n);
    if (!l) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* d = convert(t, (const char*)items + (size_t)i * t->size);
        if (!d) {
            Py_DECREF(l);
            return NULL;
        }
        PyList_SET_ITEM(l, i, d);
    }
    return l;
}

/* ------------------------------------------------------------------ frame */
static PyObject *k_channel_id, *k_configuration, *k_enable_queue, *k_daemon_type, *k_max_torelation, *k_rate_limit;
static PyObject *k_success, *k_status_code, *k_data, *k_message;

/* A heap copy up to the first NUL, released by the caller after the call. */
static char* copy_text(PyObject* o) {
    const char* s;
    Py_ssize_t n;
    if (PyUnicode_Check(o)) {
        s = PyUnicode_AsUTF8AndSize(o, &n);
        if (!s) return NULL;
    } else if (PyBytes_Check(o)) {
        s = PyBytes_AS_STRING(o);
        n = PyBytes_GET_SIZE(o);
    } else {
        PyErr_SetString(PyExc_RuntimeError, "not a text");
        return NULL;
    }
    size_t len = strnlen(s, (size_t)n);
    char* c = malloc(len + 1);
    if (!c) {
        PyErr_NoMemory();
        return NULL;
    }
    memcpy(c, s, len);
    c[len] = 0;
    return c;
}

static PyObject* item(PyObject* mapping, PyObject* key) { return PyObject_GetItem(mapping, key); }

static int as_int32(PyObject* o, int32_t* out) {
    if (!PyLong_Check(o)) {
        PyErr_SetString(PyExc_RuntimeError, "not an int");
        return -1;
    }
    long v = PyLong_AsLong(o);
    if ((v == -1 && PyErr_Occurred()) || v < INT32_MIN || v > INT32_MAX) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "out of range");
        return -1;
    }
    *out = (int32_t)v;
    return 0;
}

static int as_bool(PyObject* o, uint8_t* out) {
    if (o == Py_True || o == Py_False || o == Py_None) {
        *out = o == Py_True;
        return 0;
    }
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    int r = nb && nb->nb_bool ? nb->nb_bool(o) : -1;
    if (r < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "not a bool");
        return -1;
    }
    *out = (uint8_t)r;
    return 0;
}

/* The five lookups in the module's order, `configuration` fetched once. */
static int build_config(PyObject* ctx, Config* cfg) {
    memset(cfg, 0, sizeof *cfg);
    PyObject *conf, *v;
    int32_t unused;
    int rc;
    conf = item(ctx, k_configuration);
    if (!conf) return -1;
#define LOOKUP(key)      \
    v = item(conf, key); \
    if (!v) goto fail;
    LOOKUP(k_enable_queue);
    rc = as_bool(v, &cfg->enable_queue);
    Py_DECREF(v);
    if (rc) goto fail;
    LOOKUP(k_max_torelation);
    rc = as_int32(v, &cfg->max_torelation);
    Py_DECREF(v);
    if (rc) goto fail;
    LOOKUP(k_rate_limit);
    rc = as_int32(v, &unused);
    Py_DECREF(v);
    if (rc) goto fail;
    v = item(ctx, k_channel_id);
    if (!v) goto fail;
    cfg->channel_id = copy_text(v);
    Py_DECREF(v);
    if (!cfg->channel_id) goto fail;
    LOOKUP(k_daemon_type);
    cfg->daemon_type = copy_text(v);
    Py_DECREF(v);
    if (!cfg->daemon_type) goto fail;
    Py_DECREF(conf);
    return 0;
fail:
    Py_DECREF(conf);
    free((void*)cfg->channel_id);
    cfg->channel_id = NULL;
    return -1;
#undef LOOKUP
}

static void free_config(Config* cfg) {
    free((void*)cfg->channel_id);
    free((void*)cfg->daemon_type);
}

static PyObject* envelope(int success, int32_t status, PyObject* data, text message) {
    PyObject* msg = success ? PyUnicode_FromStringAndSize("", 0) : text_value(message ? message : "");
    if (!msg) {
        Py_DECREF(data);
        return NULL;
    }
    PyObject* code = PyLong_FromLong(status);
    PyObject* d = code ? _PyDict_NewPresized(4) : NULL;
    if (!d || PyDict_SetItem(d, k_success, success ? Py_True : Py_False) < 0 ||
        PyDict_SetItem(d, k_status_code, code) < 0 || PyDict_SetItem(d, k_data, data) < 0 ||
        PyDict_SetItem(d, k_message, msg) < 0) {
        Py_XDECREF(d);
        d = NULL;
    }
    Py_XDECREF(code);
    Py_DECREF(msg);
    Py_DECREF(data);
    return d;
}

static PyObject* internal_error(text e) {
    PyErr_Format(PyExc_RuntimeError, "Internal Error: %s", e);
    return NULL;
}

static ListOp op21, op17, op33, op28;
static OrderOp op20;

static int check_args(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs != want || !PyDict_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "incompatible function arguments");
        return -1;
    }
    for (Py_ssize_t i = 1; i < want; ++i)
        if (!PyUnicode_Check(args[i])) {
            PyErr_SetString(PyExc_TypeError, "incompatible function arguments");
            return -1;
        }
    return 0;
}

static PyObject* list_query(ListOp op, const Table* t, PyObject* const* args, Py_ssize_t nargs) {
    if (!op) return PyErr_Format(PyExc_RuntimeError, "bind() first");
    if (check_args(args, nargs, 2)) return NULL;
    Config cfg;
    if (build_config(args[0], &cfg)) return NULL;
    char* account = copy_text(args[1]);
    if (!account) {
        free_config(&cfg);
        return NULL;
    }
    RecordList r = op(&cfg, account);
    free(account);
    free_config(&cfg);
    if (r.internal_error) return internal_error(r.internal_error);
    PyObject* data = r.success ? convert_list(t, r.items, r.count) : PyList_New(0);
    if (!data) return NULL;
    return envelope(r.success, r.status_code, data, r.message);
}

__attribute__((noinline)) static PyObject* f_equity_orders(PyObject* self, PyObject* const* a, Py_ssize_t n) {
    return list_query(op21, &equity_order_table, a, n);
}
__attribute__((noinline)) static PyObject* f_derivatives_portfolios(PyObject* self, PyObject* const* a, Py_ssize_t n) {
    return list_query(op17, &derivatives_position_table, a, n);
}
static PyObject* f_marketrep_equity_orders_by_account_no(PyObject* self, PyObject* const* a, Py_ssize_t n) {
    return list_query(op33, &equity_order_table, a, n);
}
static PyObject* f_marketrep_derivatives_portfolios(PyObject* self, PyObject* const* a, Py_ssize_t n) {
    return list_query(op28, &derivatives_position_table, a, n);
}

__attribute__((noinline)) static PyObject* f_equity_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!op20) return PyErr_Format(PyExc_RuntimeError, "bind() first");
    if (check_args(args, nargs, 3)) return NULL;
    Config cfg;
    if (build_config(args[0], &cfg)) return NULL;
    char* account = copy_text(args[1]);
    char* order = account ? copy_text(args[2]) : NULL;
    if (!order) {
        free(account);
        free_config(&cfg);
        return NULL;
    }
    EquityOrderResult r = op20(&cfg, account, order);
    free(order);
    free(account);
    free_config(&cfg);
    if (r.internal_error) return internal_error(r.internal_error);
    PyObject* data = r.success ? convert(&equity_order_table, (const char*)r.record) : PyDict_New();
    if (!data) return NULL;
    return envelope(r.success, r.status_code, data, r.message);
}

/* bind(op20, op21, op17, op33, op28): addresses of the library's operations. */
static PyObject* f_bind(PyObject* self, PyObject* args) {
    unsigned long long a20, a21, a17, a33, a28;
    if (!PyArg_ParseTuple(args, "KKKKK", &a20, &a21, &a17, &a33, &a28)) return NULL;
    op20 = (OrderOp)(uintptr_t)a20;
    op21 = (ListOp)(uintptr_t)a21;
    op17 = (ListOp)(uintptr_t)a17;
    op33 = (ListOp)(uintptr_t)a33;
    op28 = (ListOp)(uintptr_t)a28;
    Py_RETURN_NONE;
}

/* ----------------------------------------------------------------- events */
/* Native threads that call a Python function directly, each event under
 * PyGILState_Ensure; the payload is the emit time (CLOCK_MONOTONIC ns) in
 * decimal, the clock behind time.perf_counter_ns. */
typedef struct {
    PyObject* fn;
    long count;
    long interval_ns; /* 0: as fast as possible */
    long failures;
    atomic_int* waiting;
} EmitJob;

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void* emit_thread(void* arg) {
    EmitJob* job = arg;
    /* All threads start together, or the first would deliver alone for a while. */
    atomic_fetch_sub(job->waiting, 1);
    while (atomic_load(job->waiting) > 0) sched_yield();
    int64_t next = now_ns();
    char payload[32];
    for (long i = 0; i < job->count; ++i) {
        if (job->interval_ns) {
            next += job->interval_ns;
            while (now_ns() < next) {
            }
        }
        int64_t t = now_ns();
        int len = snprintf(payload, sizeof payload, "%lld", (long long)t);
        PyGILState_STATE g = PyGILState_Ensure();
        PyObject* s = PyUnicode_DecodeUTF8(payload, len, NULL);
        PyObject* r = s ? PyObject_CallOneArg(job->fn, s) : NULL;
        if (!r) {
            PyErr_Clear();
            job->failures++;
        }
        Py_XDECREF(r);
        Py_XDECREF(s);
        PyGILState_Release(g);
    }
    return NULL;
}

/* emit(fn, threads, events_per_thread, interval_ns) -> seconds taken */
static PyObject* f_emit(PyObject* self, PyObject* args) {
    PyObject* fn;
    int threads;
    long count, interval;
    if (!PyArg_ParseTuple(args, "Oill", &fn, &threads, &count, &interval)) return NULL;
    if (threads < 1 || threads > 64) return PyErr_Format(PyExc_ValueError, "threads");
    EmitJob jobs[64];
    pthread_t tids[64];
    int64_t t0, t1;
    atomic_int waiting = threads;
    Py_BEGIN_ALLOW_THREADS;
    t0 = now_ns();
    for (int i = 0; i < threads; ++i) {
        jobs[i] = (EmitJob){fn, count, interval, 0, &waiting};
        pthread_create(&tids[i], NULL, emit_thread, &jobs[i]);
    }
    for (int i = 0; i < threads; ++i) pthread_join(tids[i], NULL);
    t1 = now_ns();
    Py_END_ALLOW_THREADS;
    long failures = 0;
    for (int i = 0; i < threads; ++i) failures += jobs[i].failures;
    if (failures) return PyErr_Format(PyExc_RuntimeError, "%ld events failed", failures);
    return PyFloat_FromDouble((double)(t1 - t0) / 1e9);
}

static PyMethodDef methods[] = {
    {"bind", f_bind, METH_VARARGS, NULL},
    {"get_investor_equity_order", (PyCFunction)(void (*)(void))f_equity_order, METH_FASTCALL, NULL},
    {"get_investor_equity_orders", (PyCFunction)(void (*)(void))f_equity_orders, METH_FASTCALL, NULL},
    {"get_investor_derivatives_portfolios", (PyCFunction)(void (*)(void))f_derivatives_portfolios, METH_FASTCALL, NULL},
    {"get_marketrep_equity_orders_by_account_no", (PyCFunction)(void (*)(void))f_marketrep_equity_orders_by_account_no,
     METH_FASTCALL, NULL},
    {"get_marketrep_derivatives_portfolios", (PyCFunction)(void (*)(void))f_marketrep_derivatives_portfolios,
     METH_FASTCALL, NULL},
    {"emit", f_emit, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "tvx_floor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_tvx_floor(void) {
#define KEY(k) \
    if (!(k_##k = PyUnicode_InternFromString(#k))) return NULL
    KEY(channel_id);
    KEY(configuration);
    KEY(enable_queue);
    KEY(daemon_type);
    KEY(max_torelation);
    KEY(rate_limit);
    KEY(success);
    KEY(status_code);
    KEY(data);
    KEY(message);
#undef KEY
    if (intern_table(&equity_order_table) || intern_table(&derivatives_position_table)) return NULL;
    return PyModule_Create(&module);
}
