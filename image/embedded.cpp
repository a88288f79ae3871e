#include <cstring>

#include "image/container.h"

namespace image {

// Kept apart from the reader so that tolvern-pack can check its output with the tool's own
// reader without the container it is about to generate.
void load_embedded_container() { std::memcpy(image_buffer, embedded_container, container_size); }

}  // namespace image
