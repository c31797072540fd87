"""One forward and both backward products on the engine, with nothing but the
installed package and the driver (no numpy, no torch), checked against exact
small-integer results.  Prints the NVRTC the engine chose.

    python engine_smoke.py [--sim]
"""

import ctypes
import sys

M, K, N = 5, 7, 3


def main() -> int:
    if "--sim" in sys.argv:
        from tesvan import sim

        sim.activate()
    import tesvan
    from tesvan import loader

    engine = tesvan.Engine(0)  # retains the primary context and makes it current
    cuda = ctypes.CDLL("libcuda.so.1")

    def check(result, what):
        if result != 0:
            raise RuntimeError(f"{what} failed: {result}")

    def upload(values):
        data = (ctypes.c_float * len(values))(*values)
        ptr = ctypes.c_uint64()
        check(cuda.cuMemAlloc_v2(ctypes.byref(ptr), ctypes.sizeof(data)), "cuMemAlloc")
        check(cuda.cuMemcpyHtoD_v2(ptr, data, ctypes.sizeof(data)), "cuMemcpyHtoD")
        return ptr.value

    def download(ptr, count):
        data = (ctypes.c_float * count)()
        check(cuda.cuMemcpyDtoH_v2(data, ctypes.c_uint64(ptr), ctypes.sizeof(data)), "cuMemcpyDtoH")
        return list(data)

    def matmul(x, y, rows, inner, cols):
        return [float(sum(x[r * inner + i] * y[i * cols + c] for i in range(inner)))
                for r in range(rows) for c in range(cols)]

    def transpose(x, rows, cols):
        return [x[r * cols + c] for c in range(cols) for r in range(rows)]

    a = [float((i * 7) % 11 - 5) for i in range(M * K)]
    b = [float((i * 5) % 9 - 4) for i in range(K * N)]
    dy = [float((i * 3) % 7 - 3) for i in range(M * N)]
    pa, pb, pdy = upload(a), upload(b), upload(dy)
    pout, pdx, pdw = upload([1.0] * (M * N)), upload([1.0] * (M * K)), upload([0.0] * (K * N))

    engine.forward((pout, pa, pb, None), (M, K, N), "float32", 0)
    engine.backward_dx((pdx, pdy, pb), (M, K, N), "float32", 0)
    engine.backward_dw((pdw, pdy, pa), (M, K, N), "float32", 0)
    engine.synchronize()

    expected = {
        "forward": (download(pout, M * N), matmul(a, b, M, K, N)),
        "backward_dx": (download(pdx, M * K), matmul(dy, transpose(b, K, N), M, N, K)),
        "backward_dw": (download(pdw, K * N), matmul(transpose(a, M, K), dy, K, M, N)),
    }
    for name, (got, want) in expected.items():
        if got != want:
            print(f"{name}: got {got}, want {want}")
            return 1
    nvrtc = loader.report()["nvrtc"]
    chosen = nvrtc["found"][nvrtc["chosen"]]
    print(f"ok: forward, backward_dx, backward_dw; NVRTC {chosen['version']} {chosen['path']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
