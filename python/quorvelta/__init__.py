"""The host program: loads engine.core and calls one of its entry operations."""
