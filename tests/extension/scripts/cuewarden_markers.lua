-- Runs the Cuewarden script on a project made of the given markers and prints every
-- marker and region of the project afterwards, in time order, one a line:
--   "marker" | "region", TAB, position, TAB, region end, TAB, name
-- lua5.4 cuewarden_markers.lua <Orvanta_Cuewarden.lua> <project length> [<position>=<name>]...
package.path = (arg[0]:match("^(.*)/") or ".") .. "/?.lua;" .. package.path
local fake = require("fake_voduve")

local host = fake.new()
host.length = assert(tonumber(arg[2]), "project length expected")
for i = 3, #arg do
  local position, name = arg[i]:match("^([^=]+)=(.*)$")
  host.markers[#host.markers + 1] = { is_region = false, position = assert(tonumber(position)), region_end = 0.0,
                                      name = name }
end
host.run(assert(arg[1], "script path expected"))

local ordered = {}
for index, m in ipairs(host.markers) do ordered[#ordered + 1] = { index = index, m = m } end
table.sort(ordered, function(a, b)
  if a.m.position ~= b.m.position then return a.m.position < b.m.position end
  return a.index < b.index
end)
for _, entry in ipairs(ordered) do
  local m = entry.m
  io.write(string.format("%s\t%.17g\t%.17g\t%s\n", m.is_region and "region" or "marker", m.position,
                         m.is_region and m.region_end or 0.0, m.name))
end
