"""The soak's growth judge on sample series of the shapes runs produce: a steady leak fails,
the allocator's one new high-water mark and the frames in flight at one sample do not."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
from vexoharness.judge import judge  # noqa: E402

LIMITS = {"threads": 0.5, "descriptors": 0.5, "RSS": 256.0, "heap in use": 256.0}


def run(rss, heap=None, threads=None):
    """Verdicts by metric name for samples every 10 s from t=120 s, all judged."""
    heap = heap or [18000] * len(rss)
    threads = threads or [9] * len(rss)
    samples = [(120 + 10 * i, threads[i], 14, rss[i], heap[i]) for i in range(len(rss))]
    ok, rows, _ = judge(samples, 120, LIMITS)
    return ok, {row[0].split(" (")[0]: row[-1] for row in rows}


class GrowthJudge(unittest.TestCase):
    def test_steady_growth_fails_even_with_its_largest_rise_taken_out(self):
        ok, verdicts = run([128000 + 60 * i for i in range(7)], heap=[18000 + 50 * i for i in range(7)])
        self.assertFalse(ok)
        self.assertEqual(verdicts["RSS"], "FAIL (grows)")
        self.assertEqual(verdicts["heap in use"], "FAIL (grows)")

    def test_one_rise_is_a_high_water_mark_not_a_leak(self):
        ok, verdicts = run([111756] * 3 + [128016] * 4, heap=[18073, 18125, 18063, 18063, 18228, 18189, 18189])
        self.assertTrue(ok, verdicts)
        self.assertTrue(verdicts["RSS"].startswith("ok: one rise"), verdicts)

    def test_two_rises_are_growth(self):
        ok, verdicts = run([110000] * 2 + [118000] * 3 + [126000] * 2)
        self.assertFalse(ok)
        self.assertEqual(verdicts["RSS"], "FAIL (grows)")

    def test_a_count_is_not_excused_its_rise(self):
        ok, verdicts = run([128000] * 7, threads=[9, 9, 10, 10, 11, 11, 12])
        self.assertFalse(ok)
        self.assertEqual(verdicts["threads"], "FAIL (grows)")


if __name__ == "__main__":
    unittest.main()
