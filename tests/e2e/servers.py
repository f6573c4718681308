"""Fixtures that start real test servers inside the test network namespace."""
