/* A library named like NVIDIA's driver (soname libcuda.so.1) that is not the
 * simulated device: stands in for a real driver already loaded in a process. */
int cuInit(unsigned flags) { return flags ? 1 : 100; /* CUDA_ERROR_NO_DEVICE */ }
