-- Razo Zerur -> Ozovi: shows the notes of the media item under the play position as
-- text in VODUVE's video window, updated while the script runs. Items without notes
-- show nothing; where items overlap, the first one in the project's item order with
-- notes wins.
--
-- VODUVE's functions that the Cuewarden runtime uses as well are called exactly as it
-- calls them: voduve.EnumProjects(-1) for the active project (nil when none),
-- voduve.GetPlayState() with bit 0 set while the transport plays, and
-- voduve.GetPlayPosition() in seconds.

-- Every other VODUVE function the script needs, in one place.
local host = {
  cursor_position = function() return voduve.GetCursorPosition() end,
  item_count = function(project) return voduve.CountMediaItems(project) end,
  item = function(project, index) return voduve.GetMediaItem(project, index) end,
  item_span = function(item) return voduve.GetMediaItemInfo(item) end, -- position, length
  item_notes = function(item) return voduve.GetMediaItemNotes(item) end,
  show_text = function(text) voduve.SetVideoOverlayText(text) end,
  run_later = function(callback) voduve.RunDeferred(callback) end,
}

local PLAYING = 1 -- bit of the play state

local shown = nil

local function current_time()
  if voduve.GetPlayState() & PLAYING ~= 0 then return voduve.GetPlayPosition() end
  return host.cursor_position()
end

local function notes_at(project, time)
  for index = 0, host.item_count(project) - 1 do
    local item = host.item(project, index)
    local position, length = host.item_span(item)
    if time >= position and time < position + length then
      local notes = host.item_notes(item) or ""
      if notes ~= "" then return notes end
    end
  end
  return ""
end

local function update()
  local project = voduve.EnumProjects(-1)
  local notes = project ~= nil and notes_at(project, current_time()) or ""
  if notes ~= shown then
    host.show_text(notes)
    shown = notes
  end
  host.run_later(update)
end

update()
