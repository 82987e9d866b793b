'use strict';
// Loads the built module: from $STREAMCORE_BUILD/lib when that is set, else from the build
// folder next to this one.
const path = require('path');

const buildDir = process.env.STREAMCORE_BUILD
  ? path.resolve(process.env.STREAMCORE_BUILD)
  : path.join(__dirname, '..', 'build');

module.exports = require(path.join(buildDir, 'lib', 'streamAddon.node'));
