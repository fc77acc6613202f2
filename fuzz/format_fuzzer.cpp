// libFuzzer target: the buffer element-type rule on arbitrary format strings.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "buffer_format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string format(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    for (const zuli::fmt::ElementType* want : {&zuli::fmt::kDouble, &zuli::fmt::kUByte}) {
        const zuli::fmt::FormatCheck r = zuli::fmt::check_format(format.c_str(), *want);
        // A mismatch always names what was found; only the plain formats pass.
        if (r.verdict == zuli::fmt::Verdict::Mismatch && (!r.got || !*r.got)) abort();
        if (r.verdict == zuli::fmt::Verdict::Ok && format.find_first_of("dgBc?T") == std::string::npos) abort();
    }
    return 0;
}
