"""The scoring of the peak-picking benchmark: how picked peaks are matched to
the truth and features to features."""

from types import SimpleNamespace

import numpy as np
import pytest
from velbench import peaks


def test_score_counts_found_and_false_peaks():
    truth = SimpleNamespace(peak_mz=np.array([200.0, 400.0, 600.0]), peak_height=np.array([50.0, 2.0, 80.0]),
                            noise=1.0)
    resolution = 20000.0  # widths 0.01, 0.02, 0.03
    picked_mz = np.array([200.001, 300.0, 350.0, 600.02])
    picked_intensity = np.array([48.0, 9.0, 2.5, 70.0])
    s = peaks.score(picked_mz, picked_intensity, truth, resolution)
    # 400 is below three times the noise; 600.02 is off by 0.67 widths: missed.
    assert s["true_above"] == 2 and s["found"] == 1
    assert s["errors_ppm"] == [pytest.approx(5.0)]
    assert s["false_above"] == 2  # 300 (9 > 3) and 600.02 (70 > 3, matching no true peak); 350 is below
    assert peaks.summarise([s, s])["recall"] == 0.5


@pytest.mark.parametrize("offset_ppm, offset_s, ppm, matched", [
    (5.0, 3.0, 10.0, True), (20.0, 0.0, 10.0, False), (20.0, 0.0, 50.0, True), (0.0, 6.0, 10.0, False),
])
def test_features_match_within_ppm_and_seconds(offset_ppm, offset_s, ppm, matched):
    reference = np.array([[500.0, 100.0, 1e5], [800.0, 50.0, 1e4]])
    other = reference.copy()
    other[0, 0] *= 1 + offset_ppm * 1e-6
    other[0, 1] += offset_s
    assert peaks.matched_share(reference, other, ppm) == (1.0 if matched else 0.5)
