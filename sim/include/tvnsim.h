/* Control API of the simulated device.
 *
 * These plain C functions are exported by the simulated libcuda.so.1 next to
 * the driver API.  Tests reach them with dlsym on the same library handle the
 * engine uses, so a test binary runs unchanged on a real driver (where the
 * symbols are absent and sim-only checks are skipped).
 *
 * Every function is thread-safe.  Strings returned stay valid until the next
 * call of the same function or tvnsim_reset().
 */
#ifndef TVNSIM_H
#define TVNSIM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TVNSIM_API __attribute__((visibility("default")))
#else
#define TVNSIM_API
#endif

/* ---- configuration ------------------------------------------------------ */

/* Device model.  Defaults come from environment variables read at cuInit
 * (TVNSIM_CC="8.0", TVNSIM_MEMPOOLS=1, TVNSIM_MEM_BYTES, TVNSIM_SM_COUNT,
 * TVNSIM_EXECUTE=1, TVNSIM_RACECHECK=1, TVNSIM_FAULT_STDERR=0,
 * TVNSIM_THREADS=<host threads for block execution>, TVNSIM_DRIVER_VERSION=13000). */
typedef struct TvnSimConfig {
  int cc_major;                    /* compute capability, default 8.0 */
  int cc_minor;
  int memory_pools;                /* attribute 115; default 1 */
  uint64_t memory_bytes;           /* device memory capacity; default 8 GiB */
  int sm_count;                    /* multiprocessors; default 108 */
  int max_shared_per_block;        /* default limit without opt-in: 49152 */
  int max_shared_per_block_optin;  /* derived from cc unless set: 163 KiB (8.0) */
  int execute;                     /* 0: validate and record launches only */
  int racecheck;                   /* shared-memory race detection on/off */
  int fault_stderr;                /* print fault reports to stderr */
  int host_threads;                /* worker threads that run blocks */
  int driver_version;              /* cuDriverGetVersion; bounds the PTX ISA; default 13000 */
} TvnSimConfig;

TVNSIM_API void tvnsim_get_config(TvnSimConfig* out);
/* Takes effect for later calls; changing the cc or memory of a device with
 * live contexts is allowed (tests do it between engines). */
TVNSIM_API void tvnsim_set_config(const TvnSimConfig* cfg);

/* Drops every object (contexts, streams, events, modules, allocations),
 * clears the launch log, injected faults and the sticky error, and reloads
 * the configuration from the environment.  Handles issued earlier become
 * invalid. */
TVNSIM_API void tvnsim_reset(void);

/* ---- launch log --------------------------------------------------------- */

enum { TVNSIM_ARG_U64 = 0, TVNSIM_ARG_S32 = 1, TVNSIM_ARG_U32 = 2, TVNSIM_ARG_F32 = 3,
       TVNSIM_ARG_F64 = 4, TVNSIM_ARG_OTHER = 5 };
#define TVNSIM_MAX_ARGS 32
#define TVNSIM_NAME_LEN 128

typedef struct TvnSimArg {
  int kind;          /* TVNSIM_ARG_*, from the .param type of the entry */
  int size;          /* bytes */
  uint64_t bits;     /* raw value, zero-extended */
} TvnSimArg;

typedef struct TvnSimLaunch {
  char kernel[TVNSIM_NAME_LEN];
  unsigned grid[3];
  unsigned block[3];
  unsigned dynamic_shared;
  uint64_t stream;               /* the CUstream handle value as passed */
  int num_args;
  TvnSimArg args[TVNSIM_MAX_ARGS];
  uint64_t sequence;             /* global order of acceptance */
  int executed;                  /* 1 once it ran (0 if execution is off or pending) */
  uint64_t thread_instructions;  /* executed thread-instructions */
} TvnSimLaunch;

/* Accepted launches in acceptance order. */
TVNSIM_API size_t tvnsim_launch_count(void);
TVNSIM_API int tvnsim_launch_get(size_t index, TvnSimLaunch* out); /* 0 on success */
TVNSIM_API void tvnsim_launch_clear(void);

/* ---- performance counters ---------------------------------------------- */

/* What the hardware's profiling counters would see, computed exactly from the
 * addresses and the instruction stream of each launch (PTX instructions, not
 * SASS).  Shared memory: 32 banks of 4 bytes; a request is served in phases
 * (accesses of up to 32 bits: the warp; 64 bits: each half-warp; 128 bits,
 * cp.async of 16 bytes and every 8x8 matrix of ldmatrix: each quarter-warp or
 * matrix), a phase takes as many wavefronts as the most distinct 4-byte words
 * any one bank holds (the same word is a broadcast), and a conflict-free
 * request takes one wavefront per phase with lanes in it.  Global memory:
 * the distinct 32-byte sectors a request touches, against the ideal of
 * ceil(distinct bytes / 32).  Levels: 0 off, 1 totals per launch, 2 also per
 * instruction site.  Default from TVNSIM_COUNTERS (1). */
enum {
  TVNSIM_CLASS_FMA_F32 = 0,   /* fma/mad .f32 */
  TVNSIM_CLASS_FLOAT = 1,     /* other floating-point arithmetic */
  TVNSIM_CLASS_MMA = 2,       /* mma.sync */
  TVNSIM_CLASS_INTEGER = 3,   /* integer, address, logic, compare, select, predicate */
  TVNSIM_CLASS_MEMORY = 4,    /* ld, st, cp.async, ldmatrix */
  TVNSIM_CLASS_CONVERT = 5,   /* mov, cvt, cvta, pack */
  TVNSIM_CLASS_CONTROL = 6,   /* bra, exit, trap, fences */
  TVNSIM_CLASS_BARRIER = 7,   /* bar, bar.warp.sync, cp.async commit and wait */
  TVNSIM_CLASS_WARP = 8,      /* shfl, vote, activemask */
  TVNSIM_CLASS_COUNT = 9
};
enum {
  TVNSIM_MEM_SHARED_LOAD = 0,   /* ld.shared (and generic loads that hit shared) */
  TVNSIM_MEM_SHARED_STORE = 1,
  TVNSIM_MEM_LDMATRIX = 2,
  TVNSIM_MEM_CP_ASYNC_SHARED = 3, /* the shared-memory side of cp.async */
  TVNSIM_MEM_GLOBAL_LOAD = 4,
  TVNSIM_MEM_GLOBAL_STORE = 5,
  TVNSIM_MEM_CP_ASYNC_GLOBAL = 6, /* the global side of cp.async (sectors read) */
  TVNSIM_MEM_COUNT = 7
};

typedef struct TvnSimMemoryCounters {
  uint64_t requests;    /* warp instructions with at least one lane accessing */
  uint64_t wavefronts;  /* shared: wavefronts; global: 32-byte sectors */
  uint64_t ideal;       /* the same for a conflict-free / fully coalesced request */
} TvnSimMemoryCounters;

typedef struct TvnSimCounters {
  uint64_t blocks;                      /* blocks that ran */
  uint64_t warp_instructions;           /* issued, predicated-off lanes included */
  uint64_t by_class[TVNSIM_CLASS_COUNT];
  TvnSimMemoryCounters memory[TVNSIM_MEM_COUNT];
} TvnSimCounters;

typedef struct TvnSimSiteCounters {
  uint32_t index;             /* instruction index in the entry */
  int instruction_class;      /* TVNSIM_CLASS_* */
  char instruction[160];      /* PTX text, truncated */
  uint64_t warp_instructions;
  TvnSimMemoryCounters shared;
  TvnSimMemoryCounters global;
} TvnSimSiteCounters;

TVNSIM_API void tvnsim_set_counters(int level);
TVNSIM_API int tvnsim_get_counters(void);
/* Runs only the first `blocks` blocks of every launch (0: all).  For
 * counting large launches whose blocks all behave alike; results of the
 * skipped blocks are never written.  Reset by tvnsim_reset. */
TVNSIM_API void tvnsim_set_block_limit(uint64_t blocks);
/* Counters of the launch log's entry `index`; 0 when it ran with counters. */
TVNSIM_API int tvnsim_launch_counters(size_t index, TvnSimCounters* out);
/* Instruction sites the launch executed (level 2), in program order. */
TVNSIM_API size_t tvnsim_launch_site_count(size_t index);
TVNSIM_API int tvnsim_launch_site(size_t index, size_t site, TvnSimSiteCounters* out);

/* ---- fault injection ---------------------------------------------------- */

/* The nth (1-based) call of the named driver function made after this call
 * returns `result` without doing anything; later calls behave normally.
 * The name is the exported symbol, e.g. "cuLaunchKernel", "cuMemAlloc_v2".
 * Several injections may be pending at once. */
TVNSIM_API void tvnsim_inject(const char* function, unsigned nth, int result);
/* The nth (1-based) call of the named driver function made after this call
 * throws std::bad_alloc inside the library, as running out of host memory
 * would; the function returns CUDA_ERROR_OUT_OF_MEMORY instead of letting
 * the exception reach its caller. */
TVNSIM_API void tvnsim_inject_exception(const char* function, unsigned nth);
TVNSIM_API void tvnsim_clear_injections(void);
/* Number of calls of the named function since the last reset. */
TVNSIM_API uint64_t tvnsim_call_count(const char* function);

/* ---- resource accounting ------------------------------------------------ */

typedef struct TvnSimResources {
  uint64_t allocations;      /* live device allocations (user memory) */
  uint64_t allocated_bytes;
  uint64_t streams;          /* live streams created with cuStreamCreate */
  uint64_t events;
  uint64_t modules;
  uint64_t primary_ctx_refs; /* sum over devices of primary-context retains */
} TvnSimResources;

TVNSIM_API void tvnsim_resources(TvnSimResources* out);

/* ---- faults ------------------------------------------------------------- */

typedef struct TvnSimFault {
  int result;                      /* CUresult it surfaced as; 0 if none */
  char kernel[TVNSIM_NAME_LEN];
  unsigned block[3];
  unsigned thread[3];
  char instruction[256];           /* the PTX instruction text */
  uint64_t address;
  char message[512];               /* human-readable report */
} TvnSimFault;

/* The last device fault (illegal or misaligned address, shared-memory bound,
 * race, failed assertion, trap, diverged collective).  Returns 0 if a fault
 * was recorded. */
TVNSIM_API int tvnsim_last_fault(TvnSimFault* out);

/* Text of the last failure the simulated driver reported for a host call
 * (e.g. why cuModuleLoadData refused a PTX text), or "" if none. */
TVNSIM_API const char* tvnsim_last_error_message(void);

/* Blocks until every queued operation on every stream has run. */
TVNSIM_API void tvnsim_drain(void);

#ifdef __cplusplus
}
#endif
#endif
