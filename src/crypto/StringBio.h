// A write-only BIO that appends everything written to it to a std::string, so that large
// outputs land in their final buffer without a further copy.
#pragma once

#include <string>

#include "platform/Ossl.h"

namespace qv {

// `target` must outlive the BIO.
BioPtr StringSinkBio(std::string& target);

}  // namespace qv
