"""Shared pytest configuration: fixtures live in their own modules, loaded here."""

pytest_plugins: list[str] = []
