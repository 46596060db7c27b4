// The identity of an image file (size and SHA-256 of its content), so that
// the image written is the image the operator confirmed or the plan named.
#pragma once

#include <string>

#include "state/records.h"

// The identity of the file at path as it is now. A file is hashed once per
// run: while its status (device, inode, size, modification and change times)
// stays as it was when it was hashed, the recorded identity is returned. A
// file changed within the last two seconds is hashed again each time.
// Unknown when the file is not a regular file or cannot be read whole.
ImageIdentity IdentifyImageFile(const char* path);

// The digest as 64 lowercase hexadecimal digits.
std::string Sha256Hex(const ImageIdentity& identity);
