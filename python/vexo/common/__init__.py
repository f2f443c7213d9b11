"""Small helpers below every other part of the package."""
