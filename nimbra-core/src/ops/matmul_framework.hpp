// The matmul framework (loops and packing), its per-thread scratch buffers and
// its register-blocked micro-kernel, written once over the vector vocabulary
// of ops/simd.hpp and instantiated by each ISA file (matmul_kernel*.cpp) with
// its own tile shape.
//
// Paths, by shape (Gemm::run):
//   m = 0 or n = 0       nothing to write
//   k = 0, k = 1         one pass writing C, streamed past the caches when large
//   m = 1, B cs = 1, n at least one wide tile
//                        a sweep down B, row after row (row_times_matrix)
//   m < MR, B cs = 1     wide tiles straight on the operands (short_rows)
//   a few rows of A times a transposed view (a Linear layer's weight):
//                        the transposed product (transposed)
//   otherwise            the blocked loop nest below
//
// Loop nest of the blocked path (Goto / BLIS), outermost first:
//   jc: NC columns of C and B
//     pc: KC inner steps       -> B (kc, nc) packed into NR-wide micro-panels
//       ic: MC rows of A and C -> A (mc, kc) packed into MR-tall micro-panels
//         jr: NR columns          one B micro-panel, reused by every ir
//           ir: MR rows           one A micro-panel -> micro-kernel on C (MR, NR)
// Small operands are used in place instead of packed (want_pack_a / _b); with
// A in place, ir runs outside jr so its MR rows stay in L1. The pc loop walks k in ascending blocks and sits
// outside every loop over C, so each output's running sum goes through the
// blocks in order: the first block starts from +0.0, later blocks resume from
// the value left in C. Each output therefore keeps the single ascending chain
// of the reference loop, on every path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "ops/matview.hpp"
#include "ops/simd.hpp"

namespace nimbra::kernels::mm {

// Per-thread packing buffers (plain code, in matmul_scratch.cpp): slot 0 holds
// the packed A block, slot 1 the packed B panel, slot 2 a transposed product
// (Gemm::transposed). 64-byte aligned; they grow on demand and are kept for
// the thread's lifetime, so steady-state calls do not allocate.
float* scratch(int slot, std::size_t floats);

inline namespace NIMBRA_SIMD_ABI {

NIMBRA_SIMD_INLINE std::size_t min_sz(std::size_t x, std::size_t y) { return x < y ? x : y; }

// ---------------------------------------------------------------------------
// Micro-kernel contract
//
// tile<V, R, NV, Partial, ACS> updates an R x N block of C, N = NV * V::lanes, or
// fewer when Partial: then only lanes [0, tail) of the last vector are used.
//   a(i, p) = a[i*a_rs + p*a_cs]      any strides; a packed micro-panel has
//                                     a_rs = 1, a_cs = MR (ACS > 0 fixes these
//                                     at compile time as 1 and ACS)
//   b(p, j) = b[p*b_rs + j]           columns contiguous (a packed micro-panel
//                                     has b_rs = NR)
//   C(i, j) = c[i*ldc + j]
// It performs, for every (i, j) of the block,
//   acc = first ? +0.0f : C(i, j)
//   for p = 0 .. kc-1:  acc = acc + (a(i, p) * b(p, j))    (f32 mul, then f32 add)
//   C(i, j) = acc
// holding the R x NV accumulators in registers for all kc steps. Lanes
// outside the block are neither read nor written in b or C, so the kernel may
// run directly on unpacked operands at a matrix edge. kc may be 0 (then the
// block is zeroed or left as is).
// ---------------------------------------------------------------------------
template <class V, int R, int NV, bool Partial, int ACS>
void tile(std::size_t kc, const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
          const float* b, std::ptrdiff_t b_rs, float* c, std::size_t ldc, bool first,
          std::size_t tail) {
  constexpr std::size_t W = V::lanes;
  if constexpr (ACS > 0) {
    a_rs = 1;
    a_cs = ACS;
  }
  const typename V::Tail last = V::tail(Partial ? tail : W);
  V acc[R][NV];
  if (first) {
#pragma GCC unroll 32
    for (int i = 0; i < R; ++i)
#pragma GCC unroll 16
      for (int v = 0; v < NV; ++v) acc[i][v] = V::zero();
  } else {
#pragma GCC unroll 32
    for (int i = 0; i < R; ++i)
#pragma GCC unroll 16
      for (int v = 0; v < NV; ++v) {
        const float* src = c + i * ldc + v * W;
        acc[i][v] = (Partial && v == NV - 1) ? V::load(src, last) : V::load(src);
      }
  }
  for (std::size_t p = 0; p < kc; ++p) {
    V bv[NV];
#pragma GCC unroll 16
    for (int v = 0; v < NV; ++v)
      bv[v] = (Partial && v == NV - 1) ? V::load(b + v * W, last) : V::load(b + v * W);
#pragma GCC unroll 32
    for (int i = 0; i < R; ++i) {
      const float* ai = a + i * a_rs;
#pragma GCC unroll 16
      for (int v = 0; v < NV; ++v) acc[i][v] = acc[i][v] + simd::times_broadcast(bv[v], ai);
    }
    a += a_cs;
    b += b_rs;
  }
#pragma GCC unroll 32
  for (int i = 0; i < R; ++i)
#pragma GCC unroll 16
    for (int v = 0; v < NV; ++v) {
      float* dst = c + i * ldc + v * W;
      if (Partial && v == NV - 1)
        store(dst, acc[i][v], last);
      else
        store(dst, acc[i][v]);
    }
}

using TileFn = void (*)(std::size_t, const float*, std::ptrdiff_t, std::ptrdiff_t, const float*,
                        std::ptrdiff_t, float*, std::size_t, bool, std::size_t);

// Shape and blocking of one variant.
//   MR x (NV * W)   the micro-tile (MR * NV accumulator registers)
//   SHORT_ACC       accumulator budget of the wide tiles used when m < MR
//   KC, MC, NC      cache blocks: B micro-panel (KC x NR) in L1 / L2, A block
//                   (MC x KC) in L2, B panel (KC x NC) in L3
//   PB_ROWS         a B with contiguous rows is packed only for more rows of
//                   A than this (see want_pack_b)
//   VA              a vector of MR lanes, if any, for transposing A into
//                   micro-panels
template <class V, int MR_, int NV_, int SHORT_ACC_, std::size_t KC_, std::size_t MC_,
          std::size_t NC_, std::size_t PB_ROWS_, class VA_ = V>
struct Shape {
  using Vec = V;
  using VecA = VA_;
  static constexpr int MR = MR_, NV = NV_, SHORT_ACC = SHORT_ACC_;
  static constexpr std::size_t W = V::lanes, NR = NV_ * V::lanes;
  static constexpr std::size_t KC = KC_, MC = MC_, NC = NC_, PB_ROWS = PB_ROWS_;
};

template <class S>
struct Gemm {
  using V = typename S::Vec;
  static constexpr int MR = S::MR, NV = S::NV;
  static constexpr std::size_t W = S::W, NR = S::NR;

  // Edge tiles, indexed by rows (1..MR), vectors (1..NV) and partial last vector.
  template <std::size_t... I>
  static constexpr std::array<TileFn, sizeof...(I)> make_edges(std::index_sequence<I...>) {
    return {{&tile<V, int(I / (2 * NV)) + 1, int(I / 2) % NV + 1, (I % 2) != 0, 0>...}};
  }
  static constexpr auto kEdges = make_edges(std::make_index_sequence<MR * NV * 2>());

  // Wide tiles for m < MR: R rows and as many vectors as the budget allows,
  // so a short A still keeps enough independent chains in flight.
  static constexpr int short_nv(int r) {
    const int v = S::SHORT_ACC / r;
    return v < NV ? NV : v;
  }
  template <std::size_t... I>
  static constexpr std::array<TileFn, sizeof...(I)> make_short(std::index_sequence<I...>) {
    return {{&tile<V, int(I) + 1, short_nv(int(I) + 1), false, 0>...}};
  }
  static constexpr auto kShort = make_short(std::make_index_sequence<MR>());

  // Runs the R x cols block at c with the edge tiles (cols <= NR).
  static void edge(std::size_t rows, std::size_t cols, std::size_t kc, const float* a,
                   std::ptrdiff_t a_rs, std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs,
                   float* c, std::size_t ldc, bool first) {
    const std::size_t nv = (cols + W - 1) / W;
    const std::size_t tail = cols - (nv - 1) * W;
    const std::size_t idx = ((rows - 1) * NV + (nv - 1)) * 2 + (tail != W ? 1 : 0);
    kEdges[idx](kc, a, a_rs, a_cs, b, b_rs, c, ldc, first, tail);
  }

  // ---- k = 0 and k = 1: output-bound, one pass over C ----------------------

  // Outputs too large to stay in the last-level cache go out with
  // non-temporal stores: they would only evict the operands, and skipping the
  // read-for-ownership of C halves the memory traffic. Smaller ones stay
  // cached, where a reused buffer is written much faster.
  static constexpr std::size_t kStreamBytes = std::size_t(1) << 24;

  // row[j] = 0.0f + s * b[j] for j < n (s == nullptr: row[j] = +0.0).
  static void write_row(float* row, std::size_t n, const float* s, const float* b, bool nt) {
    const V z = V::zero();
    const V sv = s ? V::broadcast_from(s) : z;
    auto value = [&](std::size_t j, auto... tail) {
      return s ? z + sv * V::load(b + j, tail...) : z;
    };
    std::size_t j = 0;
    if (nt) {
      // Scalar head up to the vector alignment the streaming store needs.
      while (j < n && (reinterpret_cast<std::uintptr_t>(row + j) % (W * sizeof(float))) != 0) {
        row[j] = s ? 0.0f + *s * b[j] : 0.0f;
        ++j;
      }
      for (; j + W <= n; j += W) stream(row + j, value(j));
    } else {
      for (; j + W <= n; j += W) store(row + j, value(j));
    }
    if (j < n) {
      const typename V::Tail t = V::tail(n - j);
      store(row + j, value(j, t), t);
    }
  }

  // c (m, n) = a (m, 1) * b (1, n): one product per output, plus the +0.0 start.
  static void outer(std::size_t m, std::size_t n, const MatView* a, MatView b, float* c,
                    std::size_t ldc) {
    const float* brow = b.data;
    if (a && b.cs != 1) {
      float* buf = scratch(1, n);
      for (std::size_t j = 0; j < n; ++j) buf[j] = b.data[j * b.cs];
      brow = buf;
    }
    const bool nt = m * n * sizeof(float) >= kStreamBytes;
    for (std::size_t i = 0; i < m; ++i)
      write_row(c + i * ldc, n, a ? a->data + i * a->rs : nullptr, brow, nt);
    if (nt) simd::stream_fence();
  }

  // ---- m == 1 with contiguous B rows: a sweep down B ------------------------
  // Reading B column strip by column strip would jump a row stride per step;
  // instead the running sums of a chunk of c (kept in L1) take P rows of B per
  // pass, in ascending p, and B is read once, row after row, in address order.
  template <int P>
  static void row_pass(std::size_t cw, const float* a, std::ptrdiff_t a_cs, const float* b,
                       std::ptrdiff_t b_rs, float* c, bool first) {
    V av[P];
#pragma GCC unroll 16
    for (int q = 0; q < P; ++q) av[q] = V::broadcast_from(a + q * a_cs);
    std::size_t j = 0;
    for (; j + W <= cw; j += W) {
      V acc = first ? V::zero() : V::load(c + j);
#pragma GCC unroll 16
      for (int q = 0; q < P; ++q) acc = acc + av[q] * V::load(b + q * b_rs + j);
      store(c + j, acc);
    }
    if (j < cw) {
      const typename V::Tail t = V::tail(cw - j);
      V acc = first ? V::zero() : V::load(c + j, t);
#pragma GCC unroll 16
      for (int q = 0; q < P; ++q) acc = acc + av[q] * V::load(b + q * b_rs + j, t);
      store(c + j, acc, t);
    }
  }

  // c (1, n) = a (1, k) * b (k, n).
  static void row_times_matrix(std::size_t n, std::size_t k, MatView a, MatView b, float* c) {
    constexpr std::size_t P = 4, CW = 2048;
    for (std::size_t j0 = 0; j0 < n; j0 += CW) {
      const std::size_t cw = min_sz(CW, n - j0);
      const float* bj = b.data + j0;
      std::size_t p = 0;
      for (; p + P <= k; p += P)
        row_pass<P>(cw, a.data + p * a.cs, a.cs, bj + p * b.rs, b.rs, c + j0, p == 0);
      for (; p < k; ++p) row_pass<1>(cw, a.data + p * a.cs, a.cs, bj + p * b.rs, b.rs, c + j0, p == 0);
    }
  }

  // ---- m < MR with contiguous B rows: no packing, one pass over B ----------
  // Each strip of B columns is read once, by one wide tile holding all m rows
  // for the whole of k. With one row and fewer columns than a wide tile, this
  // keeps the sums in registers where the row sweep would carry them through
  // memory, one dependent chain per pass.
  static std::size_t short_width(std::size_t m) { return std::size_t(short_nv(int(m))) * W; }
  static void short_rows(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b,
                         float* c, std::size_t ldc) {
    const std::size_t width = short_width(m);
    std::size_t j = 0;
    for (; j + width <= n; j += width)
      kShort[m - 1](k, a.data, a.rs, a.cs, b.data + j, b.rs, c + j, ldc, true, W);
    for (; j < n; j += NR)
      edge(m, min_sz(NR, n - j), k, a.data, a.rs, a.cs, b.data + j, b.rs, c + j, ldc, true);
  }

  // ---- packing -------------------------------------------------------------

  // B (kc, nc) at `src` -> NR-wide micro-panels, panel jr at dst + jr*kc, each
  // laid out [p][NR]. Columns past nc in the last panel are left unset: the
  // kernel never reads them.
  static void pack_b(const float* src, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t kc,
                     std::size_t nc, float* dst) {
    for (std::size_t jr = 0; jr < nc; jr += NR) {
      const std::size_t cols = min_sz(NR, nc - jr);
      const float* s = src + static_cast<std::ptrdiff_t>(jr) * cs;
      float* d = dst + jr * kc;
      std::size_t p = 0;
      if (cs == 1 && cols == NR) {
        for (; p < kc; ++p)
#pragma GCC unroll 16
          for (int v = 0; v < NV; ++v) store(d + p * NR + v * W, V::load(s + p * rs + v * W));
      } else if (cs == 1) {
        for (; p < kc; ++p) std::memcpy(d + p * NR, s + p * rs, cols * sizeof(float));
      } else if (rs == 1 && cols == NR) {
        // A transposed view (columns contiguous): W x W block transposes.
        for (; p + W <= kc; p += W)
#pragma GCC unroll 16
          for (int v = 0; v < NV; ++v)
            simd::transpose_square<V>(s + v * W * cs + p, cs, d + p * NR + v * W, NR);
      }
      // Whatever is left, element by element, column by column (contiguous
      // reads for a transposed view).
      if (p < kc)
        for (std::size_t j = 0; j < cols; ++j)
          for (std::size_t q = p; q < kc; ++q) d[q * NR + j] = s[q * rs + j * cs];
    }
  }

  // A (mc, kc) at `src` -> MR-tall micro-panels, panel ir at dst + ir*kc, each
  // laid out [p][MR]. Rows past mc in the last panel are left unset.
  static void pack_a(const float* src, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t mc,
                     std::size_t kc, float* dst) {
    for (std::size_t ir = 0; ir < mc; ir += MR) {
      const std::size_t rows = min_sz(MR, mc - ir);
      const float* s = src + static_cast<std::ptrdiff_t>(ir) * rs;
      float* d = dst + ir * kc;
      std::size_t p = 0;
      if (rs == 1) {
        for (; p < kc; ++p) std::memcpy(d + p * MR, s + p * cs, rows * sizeof(float));
      } else if (cs == 1 && rows == MR && std::size_t(MR) == S::VecA::lanes) {
        for (; p + MR <= kc; p += MR) simd::transpose_square<typename S::VecA>(s + p, rs, d + p * MR, MR);
      } else if (rows == MR) {
        for (; p < kc; ++p)
#pragma GCC unroll 32
          for (int i = 0; i < MR; ++i) d[p * MR + i] = s[i * rs + p * cs];
      }
      for (; p < kc; ++p)
        for (std::size_t i = 0; i < rows; ++i) d[p * MR + i] = s[i * rs + p * cs];
    }
  }

  // Packing pays when a block is reused often and its rows lie far apart (rows
  // a power-of-two stride apart share L1 sets, and every row is a new page);
  // small operands are used where they are.
  //   B: always when its columns are strided (the kernel loads rows of B as
  //      vectors); otherwise when more than PB_ROWS rows of A reuse a B block
  //      of more than 16 KB. Below that, copying B costs more than reading it
  //      in place saves (a layer's weight on a batch of 64 runs 8% faster in
  //      place with 512-bit vectors; 256-bit ones, which read a row of B in
  //      narrower pieces, gain up to 32 rows).
  //   A: when many column tiles reuse an A block spanning more than 1 MB.
  static bool want_pack_b(std::size_t m, std::size_t k, MatView b) {
    return b.cs != 1 || (m > S::PB_ROWS && k * static_cast<std::size_t>(b.rs) > 4096);
  }
  static bool want_pack_a(std::size_t n, std::size_t k, MatView a) {
    const auto stride = static_cast<std::size_t>(a.rs > a.cs ? a.rs : a.cs);
    return n > 4 * NR && k * stride > 262144;
  }

  // ---- the blocked path ------------------------------------------------------
  static void blocked(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                      std::size_t ldc) {
    const bool pb = want_pack_b(m, k, b);
    const bool pa = want_pack_a(n, k, a);
    const std::size_t kc_max = min_sz(S::KC, k);
    float* bufb = pb ? scratch(1, (min_sz(S::NC, n) + NR - 1) / NR * NR * kc_max) : nullptr;
    float* bufa = pa ? scratch(0, (min_sz(S::MC, m) + MR - 1) / MR * MR * kc_max) : nullptr;

    for (std::size_t jc = 0; jc < n; jc += S::NC) {
      const std::size_t nc = min_sz(S::NC, n - jc);
      for (std::size_t pc = 0; pc < k; pc += S::KC) {
        const std::size_t kc = min_sz(S::KC, k - pc);
        const bool first = pc == 0;
        const std::ptrdiff_t pco = static_cast<std::ptrdiff_t>(pc);
        if (pb) pack_b(b.data + pco * b.rs + static_cast<std::ptrdiff_t>(jc) * b.cs, b.rs, b.cs, kc, nc, bufb);
        for (std::size_t ic = 0; ic < m; ic += S::MC) {
          const std::size_t mc = min_sz(S::MC, m - ic);
          const std::ptrdiff_t ico = static_cast<std::ptrdiff_t>(ic);
          if (pa) pack_a(a.data + ico * a.rs + pco * a.cs, a.rs, a.cs, mc, kc, bufa);
          // The tile of C at (ic + ir, jc + jr).
          auto run_tile = [&](std::size_t ir, std::size_t jr) {
            const std::size_t rows = min_sz(MR, mc - ir), cols = min_sz(NR, nc - jr);
            const float* bp = pb ? bufb + jr * kc : b.data + pco * b.rs + static_cast<std::ptrdiff_t>(jc + jr);
            const std::ptrdiff_t b_rs = pb ? std::ptrdiff_t(NR) : b.rs;
            float* cp = c + (ic + ir) * ldc + jc + jr;
            if (pa) {
              const float* ap = bufa + ir * kc;
              if (rows == MR && cols == NR)
                tile<V, MR, NV, false, MR>(kc, ap, 1, MR, bp, b_rs, cp, ldc, first, W);
              else
                edge(rows, cols, kc, ap, 1, MR, bp, b_rs, cp, ldc, first);
            } else {
              const float* ap = a.data + static_cast<std::ptrdiff_t>(ic + ir) * a.rs + pco * a.cs;
              if (rows == MR && cols == NR)
                tile<V, MR, NV, false, 0>(kc, ap, a.rs, a.cs, bp, b_rs, cp, ldc, first, W);
              else
                edge(rows, cols, kc, ap, a.rs, a.cs, bp, b_rs, cp, ldc, first);
            }
          };
          if (pa) {
            // A packed: each B micro-panel stays in L1 while the A micro-panels
            // stream past it from L2.
            for (std::size_t jr = 0; jr < nc; jr += NR)
              for (std::size_t ir = 0; ir < mc; ir += MR) run_tile(ir, jr);
          } else {
            // A in place (small): its MR rows stay in L1 across the B panels.
            for (std::size_t ir = 0; ir < mc; ir += MR)
              for (std::size_t jr = 0; jr < nc; jr += NR) run_tile(ir, jr);
          }
        }
      }
    }
  }

  // ---- a few rows of A times a transposed view ---------------------------
  // A transposed B (its columns contiguous: the weight of a Linear layer)
  // must be packed whole before the blocked loops can use it, which for a few
  // rows of A costs up to a tenth of the product. C^T = B^T A^T reads B^T in
  // place as its left operand and packs only A^T. Each output is the same
  // ascending chain of the same products, their two factors swapped (which
  // leaves an IEEE product unchanged), written to scratch and then
  // transposed into C.
  static constexpr std::size_t kTransposedRowsMax = 64;
  static bool want_transposed(std::size_t m, MatView a, MatView b) {
    return m >= std::size_t(MR) && m <= kTransposedRowsMax && b.rs == 1 && b.cs != 1 && a.cs == 1;
  }
  static void transposed(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b,
                         float* c, std::size_t ldc) {
    float* ct = scratch(2, n * m);
    blocked(n, m, k, MatView{b.data, b.cs, b.rs}, MatView{a.data, a.cs, a.rs}, ct, m);
    // c[i*ldc + j] = ct[j*m + i], in squares of W x W where they fit.
    std::size_t i0 = 0;
    for (; i0 + W <= m; i0 += W) {
      std::size_t j0 = 0;
      for (; j0 + W <= n; j0 += W) simd::transpose_square<V>(ct + j0 * m + i0, std::ptrdiff_t(m), c + i0 * ldc + j0, std::ptrdiff_t(ldc));
      for (; j0 < n; ++j0)
        for (std::size_t i = i0; i < i0 + W; ++i) c[i * ldc + j0] = ct[j0 * m + i];
    }
    for (; i0 < m; ++i0)
      for (std::size_t j = 0; j < n; ++j) c[i0 * ldc + j] = ct[j * m + i0];
  }

  static void run(std::size_t m, std::size_t n, std::size_t k, MatView a, MatView b, float* c,
                  std::size_t ldc) {
    if (m == 0 || n == 0) return;
    if (k == 0) return outer(m, n, nullptr, b, c, ldc);
    if (k == 1) return outer(m, n, &a, b, c, ldc);
    if (m == 1 && b.cs == 1 && n >= short_width(1)) return row_times_matrix(n, k, a, b, c);
    if (m < std::size_t(MR) && b.cs == 1) return short_rows(m, n, k, a, b, c, ldc);
    if (want_transposed(m, a, b)) return transposed(m, n, k, a, b, c, ldc);
    blocked(m, n, k, a, b, c, ldc);
  }
};

}  // inline namespace NIMBRA_SIMD_ABI
}  // namespace nimbra::kernels::mm
