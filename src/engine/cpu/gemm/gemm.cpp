// Choice between the small-matrix kernel and BLIS, stride normalisation, and the BLIS calls.
#include "engine/cpu/gemm/gemm.hpp"

#include <memory>

#include "engine/cpu/gemm/blis_kernels.hpp"
#include "engine/cpu/gemm/small_gemm.hpp"

namespace zavra::cpu::gemm {

namespace {

// Where the register-blocked kernel beats BLIS, per instruction set: a BLIS call costs
// a fraction of a microsecond and packs both operands, which pays off only for large
// products. Measured crossovers: with AVX-512 (our micro-kernel in BLIS, whose generic
// routine packs its 32-column panels of B) near 400^3 multiply-adds for square
// products, and at every size when A has at most 128 rows or B at most 16 columns;
// with AVX2 (BLIS's own kernels, including its small-matrix path) near 100^3; the
// portable loops only for the tiniest products.
struct SmallLimits {
    double work;       // m * n * k at most
    std::size_t rows;  // or m at most
    std::size_t cols;  // or n at most
};
constexpr SmallLimits kAvx512Limits{400.0 * 400.0 * 400.0, 128, 16};
constexpr SmallLimits kAvx2Limits{100.0 * 100.0 * 100.0, 0, 0};
constexpr SmallLimits kPortableLimits{16.0 * 16.0 * 16.0, 0, 0};

// Block sizes for our AVX-512 micro-kernel. Blocks of A (mc x kc, 1.3 MiB) and the
// current panel of B stay in the second-level cache; a deep kc halves the passes
// over C compared with BLIS's own choice, which measured faster on every size tried.
constexpr dim_t kMc = 24;  // in multiples of mr
constexpr dim_t kKc = 1024;
constexpr dim_t kNc = 4096;

enum class Isa { Portable, Avx2, Avx512 };

Isa detect_isa() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("f16c") &&
        __builtin_cpu_supports("fma")) {
        return Isa::Avx512;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c") && __builtin_cpu_supports("fma")) {
        return Isa::Avx2;
    }
#endif
    return Isa::Portable;
}

void set_blocksize(cntx_t& ctx, bszid_t id, dim_t value) {
    ctx.blkszs[id].v[BLIS_FLOAT] = value;
    ctx.blkszs[id].e[BLIS_FLOAT] = value;
}

struct Engine {
    SmallGemm small = nullptr;
    SmallLimits limits = kPortableLimits;
    // BLIS's own context for this processor with our kernels installed, when we have
    // better ones; otherwise BLIS chooses.
    bool own_context = false;
    cntx_t context{};

    cntx_t* blis_context() const { return own_context ? const_cast<cntx_t*>(&context) : nullptr; }
};

// Chosen once, at first use, from the processor's features; no configuration is read.
Engine build_engine() {
    Engine e;
    const Isa isa = detect_isa();
    if (isa == Isa::Avx512 && small_gemm_avx512()) {
        e.small = small_gemm_avx512();
        e.limits = kAvx512Limits;
    } else if (isa != Isa::Portable && small_gemm_avx2()) {
        e.small = small_gemm_avx2();
        e.limits = kAvx2Limits;
    } else {
        e.small = small_gemm_portable();
    }
    if (isa == Isa::Avx512) {
        if (const BlisKernels* k = blis_kernels_avx512()) {
            e.context = *bli_gks_query_cntx();
            cntx_t& ctx = e.context;
            set_blocksize(ctx, BLIS_MR, k->mr);
            set_blocksize(ctx, BLIS_NR, k->nr);
            set_blocksize(ctx, BLIS_MC, kMc * k->mr);
            set_blocksize(ctx, BLIS_KC, kKc);
            set_blocksize(ctx, BLIS_NC, kNc);
            ctx.l3_nat_ukrs[BLIS_GEMM_UKR].ptr[BLIS_FLOAT] = reinterpret_cast<void_fp>(k->gemm);
            ctx.l3_vir_ukrs[BLIS_GEMM_UKR].ptr[BLIS_FLOAT] = reinterpret_cast<void_fp>(k->gemm);
            ctx.l3_nat_ukrs_prefs[BLIS_GEMM_UKR].v[BLIS_FLOAT] = k->row_preferred;
            ctx.packm_kers[k->mr].ptr[BLIS_FLOAT] = reinterpret_cast<void_fp>(k->pack_a);
            e.own_context = true;
        }
    }
    return e;
}

const Engine& engine() {
    // Function-local static: built once, thread-safely. Not const itself, since BLIS
    // takes its context through a non-const pointer (it only reads it).
    static Engine e = build_engine();
    return e;
}

struct Matrix {
    const float* data;
    dim_t rows, cols;
    inc_t rs, cs;
};

// The stride of an axis of extent 1 never moves a pointer, so it may hold anything;
// replace it by the value BLIS expects of a row or column vector.
void normalise(Matrix& x) {
    if (x.rows == 1 && x.cols == 1) {
        x.rs = 1;
        x.cs = 1;
    } else if (x.rows == 1) {
        x.rs = x.cs == 1 ? x.cols : 1;
    } else if (x.cols == 1) {
        x.cs = x.rs == 1 ? x.rows : 1;
    }
}

// BLIS stops the process on strides it rejects: positive strides only, and one of
// them must step over the whole extent of the other (no two elements share an address).
bool blis_accepts(const Matrix& x) {
    if (x.rs <= 0 || x.cs <= 0) return false;
    if (x.cs == 1) return x.rows == 1 || x.rs >= x.cols;
    if (x.rs == 1) return x.cols == 1 || x.cs >= x.rows;
    return x.rs < x.cs ? x.cs / x.rows >= x.rs : x.rs / x.cols >= x.cs;
}

// Dense copy of x, walking the source along its smaller stride, for layouts BLIS cannot
// take (negative or overlapping strides; arrays of this library never have them).
// Matrices with no unit stride go to BLIS as they are: copying them first measured
// no faster than letting the packing gather them.
std::unique_ptr<float[]> dense_copy(Matrix& x) {
    auto copy = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(x.rows * x.cols));
    float* out = copy.get();
    const inc_t rs = x.rs < 0 ? -x.rs : x.rs;
    const inc_t cs = x.cs < 0 ? -x.cs : x.cs;
    if (rs <= cs) {
        for (dim_t j = 0; j < x.cols; ++j) {
            const float* col = x.data + j * x.cs;
            for (dim_t i = 0; i < x.rows; ++i) out[j * x.rows + i] = col[i * x.rs];
        }
        x = Matrix{copy.get(), x.rows, x.cols, 1, x.rows};
    } else {
        for (dim_t i = 0; i < x.rows; ++i) {
            const float* row = x.data + i * x.rs;
            for (dim_t j = 0; j < x.cols; ++j) out[i * x.cols + j] = row[j * x.cs];
        }
        x = Matrix{copy.get(), x.rows, x.cols, x.cols, 1};
    }
    normalise(x);
    return copy;
}

void blis_gemm(const Engine& e, Matrix a, Matrix b, float* c, inc_t ldc) {
    normalise(a);
    normalise(b);
    Matrix out{c, a.rows, b.cols, ldc, 1};
    normalise(out);
    std::unique_ptr<float[]> a_copy, b_copy;
    if (!blis_accepts(a)) a_copy = dense_copy(a);
    if (!blis_accepts(b)) b_copy = dense_copy(b);

    float one = 1.0f, zero = 0.0f;
    rntm_t rntm;
    bli_rntm_init(&rntm);
    bli_rntm_set_num_threads(1, &rntm);
    // BLIS's small-matrix path runs its AVX2 kernels, not ours.
    if (e.own_context) bli_rntm_disable_l3_sup(&rntm);
    bli_sgemm_ex(BLIS_NO_TRANSPOSE, BLIS_NO_TRANSPOSE, out.rows, out.cols, a.cols, &one, const_cast<float*>(a.data),
                 a.rs, a.cs, const_cast<float*>(b.data), b.rs, b.cs, &zero, c, out.rs, out.cs, e.blis_context(), &rntm);
}

}  // namespace

void sgemm(std::size_t m, std::size_t k, std::size_t n, const float* a, std::ptrdiff_t ars, std::ptrdiff_t acs,
           const float* b, std::ptrdiff_t brs, std::ptrdiff_t bcs, float* c, std::ptrdiff_t ldc) {
    const Engine& e = engine();
    const double work = static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(k);
    if (work <= e.limits.work || m <= e.limits.rows || n <= e.limits.cols) {
        e.small(m, k, n, a, ars, acs, b, brs, bcs, c, ldc);
        return;
    }
    blis_gemm(e,
              Matrix{a, static_cast<dim_t>(m), static_cast<dim_t>(k), static_cast<inc_t>(ars), static_cast<inc_t>(acs)},
              Matrix{b, static_cast<dim_t>(k), static_cast<dim_t>(n), static_cast<inc_t>(brs), static_cast<inc_t>(bcs)},
              c, static_cast<inc_t>(ldc));
}

}  // namespace zavra::cpu::gemm
