// Intentionally empty: anchors targets whose code comes entirely from linked libraries.
