// llhttp_execute as the framer runs it: by the copy of llhttp's parser built
// for SSE4.2 where the processor has AVX2 (and so SSE4.2), by the plain copy
// elsewhere. Declared here so that a benchmark measures the same parser.
#pragma once

#include <llhttp.h>

#include <cstddef>

namespace rg {

llhttp_errno_t LlhttpExecute(llhttp_t* parser, const char* data, size_t length);

}  // namespace rg
