/* The public header compiles as C, and every export of both libraries links
 * and answers its documented result for arguments it must refuse. */
#include <stdio.h>
#include <string.h>

#include "cefrpc.h"

static int failures;

static void expect(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main(void) {
    unsigned char buffer[64];
    uint64_t length = 3, handle = 0, payload_length = 0;
    uint32_t code = 0, id = 0, size = 0;
    const char* name = NULL;
    const void* payload = NULL;
    uint8_t large = 0;
    char path[256];

    expect(strcmp(version_number, "1.5.0.3") == 0, "version_number");
    expect(strcmp(version_section_string, "__version") == 0, "version_section_string");
    expect(cefEncodeTLVBuffer(buffer, sizeof buffer, 'C', 1, "a", "xyz", &length, 0) == 0 &&
               length == 41,
           "cefEncodeTLVBuffer");
    expect(cefDecodeTLVBuffer(buffer, length, &code, &id, &name, &payload, &payload_length,
                              &large) == 0 &&
               code == 'C' && payload_length == 3,
           "cefDecodeTLVBuffer");
    expect(SendLargeData(NULL, 1, path, sizeof path) == 22, "SendLargeData");
    expect(ReceiveLargeData(NULL, NULL, &size) == 0, "ReceiveLargeData");
    expect(CefStartClient(NULL, &handle) == 1, "CefStartClient");
    expect(CefSendMessage('C', 0, 1, "a", "x", 1) == 87, "CefSendMessage");
    CefStopClient(0);
    expect(CefStartServer("c_abi", 'C', NULL) == -1, "CefStartServer");
    expect(findServerDataForCRC('C') == NULL, "findServerDataForCRC");
    CefStopServer('C');
    return failures == 0 ? 0 : 1;
}
