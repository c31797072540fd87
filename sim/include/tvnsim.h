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

/* ---- fault injection ---------------------------------------------------- */

/* The nth (1-based) call of the named driver function made after this call
 * returns `result` without doing anything; later calls behave normally.
 * The name is the exported symbol, e.g. "cuLaunchKernel", "cuMemAlloc_v2".
 * Several injections may be pending at once. */
TVNSIM_API void tvnsim_inject(const char* function, unsigned nth, int result);
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
