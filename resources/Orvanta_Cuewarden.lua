-- Cuewarden: numbered song regions and automatic !stop markers.
--
-- Every plain project marker starts a song that lasts until the next plain marker (or
-- the end of the project). For song N the script adds
--   * a region "NN <marker name>",
--   * a marker "@N" at the song's start, the target of "!jumpto N" markers,
--   * a marker "!stop" at the song's end, where the Cuewarden runtime stops playback.
-- Markers whose names start with "!" or "@" are cue markers, never songs. Running the
-- script again adds nothing that is already there.

local PROJECT = 0
local SAME_TIME = 0.0005 -- seconds; closer markers count as one

local function same_time(a, b)
  return math.abs(a - b) < SAME_TIME
end

local function read_markers()
  local markers = {}
  local total = voduve.CountProjectMarkers(PROJECT)
  for index = 0, total - 1 do
    local found, is_region, position, region_end, name = voduve.EnumProjectMarkers3(PROJECT, index)
    if found and found ~= 0 then
      markers[#markers + 1] = {
        is_region = is_region,
        position = position,
        region_end = region_end,
        name = name or "",
      }
    end
  end
  return markers
end

local function is_cue_name(name)
  local first = name:sub(1, 1)
  return first == "!" or first == "@"
end

local function has_marker(markers, is_region, position, region_end, name)
  for _, m in ipairs(markers) do
    if m.is_region == is_region and m.name == name and same_time(m.position, position)
        and (not is_region or same_time(m.region_end, region_end)) then
      return true
    end
  end
  return false
end

local function add(markers, is_region, position, region_end, name)
  if has_marker(markers, is_region, position, region_end, name) then return 0 end
  voduve.AddProjectMarker(PROJECT, is_region, position, region_end, name)
  markers[#markers + 1] = { is_region = is_region, position = position, region_end = region_end, name = name }
  return 1
end

local function main()
  local markers = read_markers()

  local songs = {}
  for _, m in ipairs(markers) do
    if not m.is_region and not is_cue_name(m.name) then songs[#songs + 1] = m end
  end
  table.sort(songs, function(a, b) return a.position < b.position end)

  if #songs == 0 then
    voduve.ShowMessage("Cuewarden", "Place a marker at the start of every song, then run Cuewarden again.")
    return
  end

  local project_end = voduve.GetProjectLength(PROJECT)
  local added = 0
  for number, song in ipairs(songs) do
    local start = song.position
    local finish = songs[number + 1] and songs[number + 1].position or project_end
    if finish - start > SAME_TIME then
      local title = song.name ~= "" and song.name or "Song"
      added = added + add(markers, true, start, finish, string.format("%02d %s", number, title))
      added = added + add(markers, false, start, 0, "@" .. number)
      added = added + add(markers, false, finish, 0, "!stop")
    end
  end

  voduve.ShowMessage("Cuewarden", string.format("%d songs, %d markers and regions added.", #songs, added))
end

main()
