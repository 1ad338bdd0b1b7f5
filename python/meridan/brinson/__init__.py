"""Brinson attribution: sector classifiers, index benchmarks and the attribution
engine."""
