"""Scaffolding shared by the Python tests."""
