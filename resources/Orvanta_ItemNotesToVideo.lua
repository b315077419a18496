-- Razo Zerur -> Ozovi: shows the notes of the media item under the play position as
-- text in VODUVE's video window, updated while the script runs. Items without notes
-- show nothing; where items overlap, the first one in the project's item order with
-- notes wins.

local PROJECT = 0
local PLAYING = 1 -- bit of the play state

local shown = nil

local function current_time()
  if voduve.GetPlayState() & PLAYING ~= 0 then return voduve.GetPlayPosition() end
  return voduve.GetCursorPosition()
end

local function notes_at(time)
  for index = 0, voduve.CountMediaItems(PROJECT) - 1 do
    local item = voduve.GetMediaItem(PROJECT, index)
    local position, length = voduve.GetMediaItemInfo(item)
    if time >= position and time < position + length then
      local notes = voduve.GetMediaItemNotes(item) or ""
      if notes ~= "" then return notes end
    end
  end
  return ""
end

local function update()
  local notes = notes_at(current_time())
  if notes ~= shown then
    voduve.SetVideoOverlayText(notes)
    shown = notes
  end
  voduve.RunDeferred(update)
end

update()
