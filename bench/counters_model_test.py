#!/usr/bin/env python3
"""Checks of bench/counters.py's arithmetic that needs no device: occupancy
against hand-worked limits, the model's bounds, mma work from instruction
text, and reading an Nsight Compute CSV log (as scripts/gpu-check makes)."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))

import counters  # noqa: E402

A100, H100 = counters.GPUS["sm_80"], counters.GPUS["sm_90"]


class Occupancy(unittest.TestCase):
    def test_limits(self):
        cases = [
            # (gpu, threads, registers, shared bytes, occupancy, blocks per SM)
            (A100, 256, 32, 0, 1.0, 8),          # threads limit
            (A100, 256, 128, 34816, 0.25, 2),    # registers: 16 warps of 4096
            (A100, 256, 166, 71680, 0.125, 1),   # 166 -> 168 registers per thread
            (A100, 128, 40, 80000, 0.125, 2),    # shared memory: 2 x (80000 + 1 KiB)
            (H100, 128, 40, 80000, 0.125, 2),    # H100: 228 KiB gives 2 as well
            (H100, 128, 40, 70000, 0.1875, 3),   # ... and 3 at 70000 bytes
            (A100, 32, 16, 0, 0.5, 32),          # the 32-block limit
            (A100, 32, 65, 0, 28 / 64, 28),      # 65 x 32 registers round up to 2304 a warp
            (A100, 128, 40, 83000, 0.0625, 1),   # 1 KiB per block leaves room for one only
        ]
        for gpu, threads, regs, smem, occ, blocks in cases:
            with self.subTest(gpu=gpu["name"], threads=threads, regs=regs, smem=smem):
                self.assertEqual(counters.occupancy(gpu, threads, regs, smem), (occ, blocks))


def launch_counters(fma=0, mma=0, issued=0, shared=0):
    c = {"warp_instructions": issued, "class": {k: 0 for k in counters.CLASSES},
         "memory": {k: {"requests": 0, "wavefronts": 0, "ideal": 0} for k in counters.MEMORY}}
    c["class"]["fma_f32"] = fma
    c["class"]["mma"] = mma
    c["memory"]["ldmatrix"]["wavefronts"] = shared
    return c


class Model(unittest.TestCase):
    def test_mma_flops_from_the_shape_in_the_text(self):
        sites = [{"instruction": "mma.sync.aligned.m16n8k16.row.col.f32.bf16.bf16.f32 {...}",
                  "class": "mma", "warp_instructions": 10},
                 {"instruction": "ld.shared.v4.u32 {...}", "class": "memory", "warp_instructions": 99}]
        self.assertEqual(counters.mma_flops(sites), 10 * 2 * 16 * 8 * 16)

    def test_the_largest_bound_wins(self):
        # 2^24 warp FMAs, nothing else, on an A100: FP32-bound.
        fma = 1 << 24
        m = counters.model(A100, launch_counters(fma=fma, issued=fma), [], 0)
        self.assertEqual(m["bound"], "fp32")
        self.assertAlmostEqual(m["seconds"], 64 * fma / 19.5e12)
        self.assertAlmostEqual(m["tflops"], 19.5, places=6)
        # The same FMAs amid 4x as many other instructions: issue-bound.
        m = counters.model(A100, launch_counters(fma=fma, issued=8 * fma), [], 0)
        self.assertEqual(m["bound"], "issue")
        self.assertAlmostEqual(m["seconds"], 8 * fma / (108 * 4 * 1.41e9))
        # Shared wavefronts beyond one per clock per SM: shared-bound.
        m = counters.model(H100, launch_counters(fma=fma, issued=fma, shared=10 * fma), [], 0)
        self.assertEqual(m["bound"], "shared")
        # Nothing but compulsory traffic: DRAM-bound, no flops.
        m = counters.model(H100, launch_counters(issued=1), [], 3.35e9)
        self.assertEqual((m["bound"], m["tflops"]), ("dram", 0.0))
        self.assertAlmostEqual(m["seconds"], 1e-3)


NCU_LOG = '''==PROF== Connected to process 1234
"ID","Process ID","Kernel Name","{ld}","{conf}","{inst}"
"","","","sector","","inst"
"0","1234","tesvan_nn","1,024","0","2,048"
"1","1234","tesvan_splitk_reduce","n/a","3","10"
'''


class NcuLog(unittest.TestCase):
    def test_reads_launches_in_order_and_skips_the_units_row(self):
        text = NCU_LOG.format(ld=counters.NCU_METRICS["sectors_global_ld"],
                              conf=counters.NCU_METRICS["conflicts_ld"],
                              inst=counters.NCU_METRICS["warp_instructions"])
        with tempfile.NamedTemporaryFile("w", suffix=".csv", delete=False) as f:
            f.write(text)
        try:
            rows = counters.read_ncu_csv(f.name)
        finally:
            os.unlink(f.name)
        self.assertEqual([r["kernel"] for r in rows], ["tesvan_nn", "tesvan_splitk_reduce"])
        self.assertEqual(rows[0]["ncu"]["sectors_global_ld"], 1024.0)
        self.assertEqual(rows[0]["ncu"]["warp_instructions"], 2048.0)
        self.assertIsNone(rows[1]["ncu"]["sectors_global_ld"])
        self.assertEqual(rows[1]["ncu"]["conflicts_ld"], 3.0)
        self.assertIsNone(rows[0]["ncu"]["hmma"])  # not collected


if __name__ == "__main__":
    unittest.main()
