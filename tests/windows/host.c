/* A plain Windows program that loads TavrolixInterfacePY.dll and calls its
 * operations by ordinal, the way the module's import library binds them.
 * Results are declared as opaque byte blocks of the right size, so they come
 * back through caller-provided storage as any Windows x64 caller sees them,
 * and every field is read at its offset of the library's record tables.
 *
 *   host.exe PATH\TavrolixInterfacePY.dll
 *
 * Prints one "ok <check>" line per check passed, "FAIL <check>: ..." per
 * failure; exits 0 only when all pass. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef const char* text;
typedef struct {
    unsigned char b[72];
} Login; /* operation 13 */
typedef struct {
    unsigned char b[48];
} List; /* record lists: 17 */
typedef struct {
    unsigned char b[32];
} OrderNo; /* order number: 39 */
typedef struct {
    unsigned char b[24];
} Sub; /* subscribe: 43-47; unsubscribe: 48 */
typedef void (*Receiver)(const unsigned char* event);

typedef Login (*LoginOp)(text, text, text, text, text, text, text, uint8_t, int32_t);
typedef List (*ListOp)(const void* cfg, text account);
typedef OrderNo (*PlaceOp)(const void* cfg, text account, const void* request);
typedef Sub (*SubscribeOp)(text daemon, text channel, text topic, text subject, Receiver receiver, text key);
typedef Sub (*UnsubscribeOp)(text daemon, text channel, uint64_t handle);
typedef void (*SetMode)(int);

static int failures;

static void check(int ok, const char* what, const char* detail) {
    if (ok)
        printf("ok %s\n", what);
    else {
        printf("FAIL %s: %s\n", what, detail ? detail : "");
        ++failures;
    }
    fflush(stdout);
}

static uint8_t u8(const void* r, size_t at) { return ((const unsigned char*)r)[at]; }
static int32_t i32(const void* r, size_t at) {
    int32_t v;
    memcpy(&v, (const char*)r + at, 4);
    return v;
}
static int64_t i64(const void* r, size_t at) {
    int64_t v;
    memcpy(&v, (const char*)r + at, 8);
    return v;
}
static double f64(const void* r, size_t at) {
    double v;
    memcpy(&v, (const char*)r + at, 8);
    return v;
}
static text str(const void* r, size_t at) {
    text v;
    memcpy(&v, (const char*)r + at, 8);
    return v;
}
static void put_str(void* r, size_t at, text v) { memcpy((char*)r + at, &v, 8); }
static int same(text a, text b) { return a && strcmp(a, b) == 0; }

typedef void (*Any)(void);

static Any op(HMODULE h, int ordinal) {
    Any f = (Any)(void*)GetProcAddress(h, MAKEINTRESOURCEA(ordinal));
    if (!f) {
        printf("FAIL ordinal %d: not exported\n", ordinal);
        exit(1);
    }
    return f;
}

/* The event the receiver saw, copied on the library's thread. */
static HANDLE arrived;
static DWORD event_thread;
static char event_key[64], event_payload[4096];

static void receiver(const unsigned char* ev) {
    text key = str(ev, 8), payload = str(ev, 40);
    if (WaitForSingleObject(arrived, 0) == WAIT_OBJECT_0) return; /* keep the first */
    event_thread = GetCurrentThreadId();
    snprintf(event_key, sizeof event_key, "%s", key ? key : "(null)");
    snprintf(event_payload, sizeof event_payload, "%s", payload ? payload : "(null)");
    SetEvent(arrived);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: host PATH\\TavrolixInterfacePY.dll\n");
        return 2;
    }
    HMODULE h = LoadLibraryA(argv[1]);
    if (!h) {
        printf("FAIL load: error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    check(GetProcAddress(h, "TavrolixInterfacePY_13") == NULL, "operations have no names", NULL);
    check(GetProcAddress(h, MAKEINTRESOURCEA(36)) == NULL, "ordinal 36 unused", NULL);

    LoginOp login = (LoginOp)op(h, 13);
    text daemon = "STAND_ALONE";

    /* A refused login: success 0, the message at 56, no internal error. */
    Login bad = login(daemon, "inv001", "wrong", "", "", "0.4.0", "python_x64", 0, 2);
    check(u8(&bad, 0) == 0 && same(str(&bad, 56), "login refused: unknown application id or wrong secret") &&
              str(&bad, 64) == NULL,
          "refused login", str(&bad, 56));

    /* A login: success at 0, channel at 16, internal error at 64. */
    Login in = login(daemon, "inv001", "inv001-secret", "", "", "0.4.0", "python_x64", 0, 2);
    text channel = str(&in, 16);
    check(u8(&in, 0) == 1 && channel && strncmp(channel, "sbx-inv001-", 11) == 0 && str(&in, 64) == NULL, "login",
          channel);
    if (!channel) return 1;
    /* The result's texts are the library's until our next call: keep a copy,
       as the module does. */
    static char channel_copy[128];
    snprintf(channel_copy, sizeof channel_copy, "%s", channel);
    channel = channel_copy;

    /* The connection configuration: channel at 8, queue flag at 24, daemon at 32, tolerance at 40. */
    unsigned char cfg[48] = {0};
    put_str(cfg, 8, channel);
    put_str(cfg, 32, daemon);

    /* A list query: derivatives portfolios of D-1001 (one position, records 312 bytes apart). */
    List l = ((ListOp)op(h, 17))(cfg, "D-1001");
    const unsigned char* p = (const unsigned char*)str(&l, 0);
    check(u8(&l, 24) == 1 && i32(&l, 28) == 200 && i64(&l, 8) == 1 && p && str(&l, 40) == NULL, "list result",
          str(&l, 32));
    if (p && i64(&l, 8) == 1) {
        check(u8(p, 0) == 1 && same(str(p, 8), "D-1001") && i32(p, 16) == 2 && same(str(p, 72), "TVX") &&
                  f64(p, 120) == 990.0 && f64(p, 136) == 200.0 && same(str(p, 288), "T50H26") &&
                  same(str(p, 296), "T50") && u8(p, 304) == 0,
              "position record", str(p, 288));
    }

    /* An equity order request (88 bytes): bypass 0, NVDR 1, trustee 8, PIN 16, price 24, price type 32,
     * iceberg 40, side 48, symbol 56, order type 64, validity 72, volume 80. */
    unsigned char req[88] = {0};
    double price = 45.0;
    int32_t volume = 100;
    put_str(req, 8, "");
    put_str(req, 16, "999999");
    memcpy(req + 24, &price, 8);
    put_str(req, 32, "LIMIT");
    put_str(req, 48, "BUY");
    put_str(req, 56, "ARVO");
    put_str(req, 64, "NORMAL");
    put_str(req, 72, "DAY");
    memcpy(req + 80, &volume, 4);
    PlaceOp place = (PlaceOp)op(h, 39);

    /* A refused order: success 0, status at 4, message at 16, error at 24. */
    OrderNo refused = place(cfg, "E-1001", req);
    check(u8(&refused, 0) == 0 && i32(&refused, 4) == 401 &&
              same(str(&refused, 16), "WRONG_PIN: the PIN does not match") && str(&refused, 24) == NULL,
          "refused order", str(&refused, 16));

    /* A subscription: events of E-1001's equity orders arrive on a thread of the library's own. */
    arrived = CreateEventA(NULL, TRUE, FALSE, NULL);
    Sub s = ((SubscribeOp)op(h, 46))(daemon, channel, "ordereqv1", "E-1001", receiver, "KEY-1");
    uint64_t handle = (uint64_t)i64(&s, 8);
    check(u8(&s, 0) == 1, "subscription accepted", str(&s, 16));
    put_str(req, 16, "000000");
    OrderNo placed = place(cfg, "E-1001", req);
    text order_no = str(&placed, 8);
    check(u8(&placed, 0) == 1 && order_no && str(&placed, 24) == NULL, "order placed", str(&placed, 16));
    const int got = WaitForSingleObject(arrived, 10000) == WAIT_OBJECT_0;
    check(got, "event arrived", "none within 10 s");
    if (got) {
        check(strcmp(event_key, "KEY-1") == 0, "event key", event_key);
        check(event_thread != GetCurrentThreadId(), "event on the library's thread", NULL);
        check(order_no && strstr(event_payload, order_no) != NULL, "event names the order", event_payload);
    }
    Sub un = ((UnsubscribeOp)op(h, 48))(daemon, channel, handle);
    check(str(&un, 16) == NULL, "unsubscribe", str(&un, 16));

    /* An internal error: scripted mode with nothing queued; the list's error text at 40. */
    SetMode set_mode = (SetMode)(void*)GetProcAddress(h, "tvx_sandbox_set_mode");
    check(set_mode != NULL, "control entry point by name", NULL);
    if (set_mode) {
        set_mode(1);
        List e = ((ListOp)op(h, 17))(cfg, "D-1001");
        check(str(&e, 40) && strstr(str(&e, 40), "no scripted result") != NULL, "internal error", str(&e, 40));
        set_mode(0);
    }
    printf("%s\n", failures ? "FAILED" : "ALL OK");
    fflush(stdout);
    /* The library's threads run on; end the process without waiting for them. */
    ExitProcess(failures ? 1 : 0);
}
