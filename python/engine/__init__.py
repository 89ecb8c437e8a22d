"""Quorvelta's engine: the extension module engine.core does all the work."""
