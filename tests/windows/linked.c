/* Bound to TavrolixInterfacePY.dll at load time through the import library
 * made from backend/TavrolixInterfacePY.def, as the module is: the operation
 * names exist only in that import library, which binds them by ordinal.
 * Logs in and reads a list; exits 0 when both records read as expected. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef const char* text;
typedef struct {
    unsigned char b[72];
} Login;
typedef struct {
    unsigned char b[48];
} List;

__declspec(dllimport) Login TavrolixInterfacePY_13(text, text, text, text, text, text, text, uint8_t, int32_t);
__declspec(dllimport) List TavrolixInterfacePY_17(const void* cfg, text account);

int main(void) {
    Login in = TavrolixInterfacePY_13("STAND_ALONE", "inv002", "inv002-secret", "", "", "0.4.0", "python_x64", 0, 2);
    text given;
    memcpy(&given, in.b + 16, 8);
    /* The result's texts are the library's until our next call: keep a copy. */
    static char copy[128];
    snprintf(copy, sizeof copy, "%s", given ? given : "(null)");
    text channel = given ? copy : NULL;
    unsigned char cfg[48] = {0};
    text daemon = "STAND_ALONE";
    memcpy(cfg + 8, &channel, 8);
    memcpy(cfg + 32, &daemon, 8);
    List l = TavrolixInterfacePY_17(cfg, "D-2001");
    int64_t count;
    const unsigned char* items;
    text symbol = NULL;
    memcpy(&count, l.b + 8, 8);
    memcpy(&items, l.b, 8);
    if (items && count == 1) memcpy(&symbol, items + 288, 8);
    printf("login %d channel %s list %d count %lld symbol %s\n", in.b[0], channel ? channel : "(null)", l.b[24],
           (long long)count, symbol ? symbol : "(null)");
    fflush(stdout);
    return in.b[0] == 1 && l.b[24] == 1 && symbol && strcmp(symbol, "ARVOH26") == 0 ? 0 : 1;
}
