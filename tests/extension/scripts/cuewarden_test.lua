-- The Cuewarden script against a fake VODUVE.
-- lua5.4 cuewarden_test.lua <Orvanta_Cuewarden.lua>
package.path = (arg[0]:match("^(.*)/") or ".") .. "/?.lua;" .. package.path
local fake = require("fake_voduve")
local expect = require("expect")
local script = assert(arg[1], "path of Orvanta_Cuewarden.lua expected")

local function marker(position, name) return { is_region = false, position = position, region_end = 0.0, name = name } end
local function region(position, finish, name) return { is_region = true, position = position, region_end = finish, name = name } end

-- A project with three songs among cue markers and regions that are not songs.
local function concert()
  local host = fake.new()
  host.length = 250.0
  host.markers = {
    marker(65.0, "Ballad"),
    marker(2.0, "!jumpto3"),
    marker(5.0, "Intro"),
    region(0.0, 4.0, "Soundcheck"),
    marker(125.5, ""),
    marker(30.0, "@9"),
  }
  return host
end

local function names_of(markers)
  local out = {}
  for _, m in ipairs(markers) do
    out[#out + 1] = string.format("%s %.4f %.4f %s", m.is_region and "region" or "marker", m.position,
                                  m.is_region and m.region_end or 0, m.name)
  end
  return out
end

expect.cases({
  { "each song gets its region, its target and a stop short of the next song", function()
    local host = concert()
    host.run(script)
    expect.equal(names_of(host.added), {
      "region 5.0000 65.0000 01 Intro",
      "marker 5.0000 0.0000 @1",
      "marker 64.9000 0.0000 !stop",
      "region 65.0000 125.5000 02 Ballad",
      "marker 65.0000 0.0000 @2",
      "marker 125.4000 0.0000 !stop",
      "region 125.5000 250.0000 03 Song",
      "marker 125.5000 0.0000 @3",
      "marker 250.0000 0.0000 !stop",
    }, "added")
    expect.equal(host.messages, { { title = "Cuewarden", text = "3 songs, 9 markers and regions added." } },
                 "messages")
  end },

  { "a second run adds nothing", function()
    local host = concert()
    host.run(script)
    host.added, host.messages = {}, {}
    host.run(script)
    expect.equal(host.added, {}, "added")
    expect.equal(host.messages, { { title = "Cuewarden", text = "3 songs, 0 markers and regions added." } },
                 "messages")
  end },

  { "without song markers the script asks for them and adds nothing", function()
    local host = fake.new()
    host.length = 100.0
    host.markers = { marker(1.0, "!stop"), marker(2.0, "@1"), region(0.0, 50.0, "Song") }
    host.run(script)
    expect.equal(host.added, {}, "added")
    expect.equal(host.messages, { { title = "Cuewarden",
        text = "Place a marker at the start of every song, then run Cuewarden again." } }, "messages")
  end },

  { "without an open project the script does nothing", function()
    local host = fake.new()
    host.project = false
    host.run(script)
    expect.equal(host.calls, { "EnumProjects" }, "calls")
  end },

  { "a song too short to hold its stop before the next one is left out", function()
    local host = fake.new()
    host.length = 20.0
    host.markers = { marker(10.0, "A"), marker(10.05, "B") }
    host.run(script)
    expect.equal(names_of(host.added), {
      "region 10.0500 20.0000 02 B",
      "marker 10.0500 0.0000 @2",
      "marker 20.0000 0.0000 !stop",
    }, "added")
  end },
})
