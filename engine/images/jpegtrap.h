// libjpeg's error handling for the optimiser's JPEG code: errors leave by
// longjmp to `jump`, warnings (damaged data patched up) are counted.
#pragma once

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE

#include <jpeglib.h>

namespace batch {

struct JpegTrap
{
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    int warnings = 0;

    // Installs the trap as `info`'s error manager.
    jpeg_error_mgr* install()
    {
        jpeg_std_error(&manager);
        manager.error_exit = [](j_common_ptr info) {
            std::longjmp(reinterpret_cast<JpegTrap*>(info->err)->jump, 1);
        };
        manager.emit_message = [](j_common_ptr info, int level) {
            if (level < 0)
                ++reinterpret_cast<JpegTrap*>(info->err)->warnings;
        };
        return &manager;
    }
};

} // namespace batch
