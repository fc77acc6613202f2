"""zuli_physics: rigid-body contact generation.

The contact routines live in the native module :mod:`zuli_physics._collide_native`.
"""
