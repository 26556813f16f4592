"""The test-side seal float formatter must itself be right before other tests lean on it."""

import pytest

from conftest import seal_float


@pytest.mark.parametrize(
    "value, text",
    [
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (1.0, "1.0"),
        (0.5, "0.5"),
        (0.92, "0.92"),
        (123.0, "123.0"),
        (0.51, "0.51"),
        (5e-5, "5e-5"),
        (1.25e-7, "1.25e-7"),
        (1e16, "1e16"),
        (2.5e20, "2.5e20"),
        (0.0001, "0.0001"),
        (9999999999999998.0, "9999999999999998.0"),
        (float("nan"), "NaN"),
        (float("-inf"), "-inf"),
    ],
)
def test_seal_float_examples(value, text):
    assert seal_float(value) == text
