-- The item notes script against a fake VODUVE.
-- lua5.4 item_notes_test.lua <Orvanta_ItemNotesToVideo.lua>
package.path = (arg[0]:match("^(.*)/") or ".") .. "/?.lua;" .. package.path
local fake = require("fake_voduve")
local expect = require("expect")
local script = assert(arg[1], "path of Orvanta_ItemNotesToVideo.lua expected")

local function item(position, length, notes) return { position = position, length = length, notes = notes } end

-- Starts the script with three overlapping items; returns the host.
local function started()
  local host = fake.new()
  host.items = { item(0.0, 10.0, "first"), item(5.0, 10.0, ""), item(8.0, 12.0, "third") }
  host.play_state = 1
  host.play_position = 9.0
  host.run(script)
  return host
end

expect.cases({
  { "the text follows the play position and is sent only when it changes", function()
    local host = started()
    -- Each step: play position, then the overlay texts sent so far.
    local steps = {
      { 9.5, { "first" } },          -- still the first item: nothing sent
      { 12.0, { "first", "third" } }, -- the second item has no notes, the third has
      { 19.999, { "first", "third" } },
      { 20.0, { "first", "third", "" } }, -- an item ends before its end time
      { 4.0, { "first", "third", "", "first" } },
    }
    expect.equal(host.overlay, { "first" }, "at start")
    for _, step in ipairs(steps) do
      host.play_position = step[1]
      host.run_deferred()
      expect.equal(host.overlay, step[2], "at " .. step[1])
    end
  end },

  { "while the transport does not play, the edit cursor counts", function()
    local host = started()
    host.play_state = 2 -- bit 0 clear
    host.cursor_position = 16.0
    host.run_deferred()
    expect.equal(host.overlay, { "first", "third" }, "overlay")
  end },

  { "without an open project nothing is shown, and the script keeps running", function()
    local host = started()
    host.project = false
    host.run_deferred()
    expect.equal(host.overlay, { "first", "" }, "overlay")
    host.run_deferred() -- deferred again
  end },
})
