#include "sumcore.h"

#include "CCrc32.h"

extern "C" SUMCORE_API std::uint32_t SUMCORE_CALL CRCBuffer(const unsigned char* data,
                                                            std::uint32_t length) {
    CCrc32 crc;
    crc.Reset();
    if (data != nullptr && length > 0) {
        crc.Update(data, length);
    }
    crc.Final();
    return crc.Value();
}

#if defined(_WIN32)
#include <windows.h>
// Nothing to set up or tear down per process or thread.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
#endif
