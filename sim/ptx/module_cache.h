// Decoded modules by PTX text.  Engines load the same few modules over and
// over (one per target); decoding one takes a fifth of a second, finding it
// here takes a comparison of the text.
#pragma once

#include <memory>
#include <string_view>

#include "ptx/program.h"

namespace tvnsim::ptx {

// The decoded module of exactly this text, or null.
std::shared_ptr<const DecodedModule> find_decoded(std::string_view text);

// Keeps a decoded module for later loads; the least recently used ones are
// dropped beyond a handful.
void remember_decoded(std::shared_ptr<const DecodedModule> module);

}  // namespace tvnsim::ptx
