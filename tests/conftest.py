"""Shared pytest configuration: fixtures live in their own modules, loaded here."""

pytest_plugins = ["tests.httpserver", "tests.local_fixture"]
