// The matmul framework's per-thread packing buffers (see mm::scratch).
#include <new>

#include "ops/matmul_framework.hpp"

namespace nimbra::kernels::mm {

namespace {
struct Buffer {
  float* data = nullptr;
  std::size_t size = 0;
  ~Buffer() { ::operator delete[](data, std::align_val_t(64)); }
};
thread_local Buffer t_buffers[3];
}  // namespace

float* scratch(int slot, std::size_t floats) {
  Buffer& buf = t_buffers[slot];
  if (buf.size < floats) {
    // Grow geometrically so a sequence of slightly larger shapes settles quickly.
    const std::size_t want = floats > 2 * buf.size ? floats : 2 * buf.size;
    float* fresh = static_cast<float*>(::operator new[](want * sizeof(float), std::align_val_t(64)));
    ::operator delete[](buf.data, std::align_val_t(64));
    buf.data = fresh;
    buf.size = want;
  }
  return buf.data;
}

}  // namespace nimbra::kernels::mm
