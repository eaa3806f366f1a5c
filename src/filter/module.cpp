// Nothing of its own: the module is the core linked whole, exporting the
// ISAPI entry points listed in exports.map.
