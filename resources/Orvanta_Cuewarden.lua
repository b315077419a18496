-- Cuewarden: numbered song regions and automatic !stop markers.
--
-- Every plain project marker starts a song that lasts until the next plain marker (or
-- the end of the project). For song N the script adds
--   * a region "NN <marker name>",
--   * a marker "@N" at the song's start, the target of "!jumpto N" markers,
--   * a marker "!stop" at the song's end, where the Cuewarden runtime stops playback.
-- Markers whose names start with "!" or "@" are cue markers, never songs. Running the
-- script again adds nothing that is already there.
--
-- VODUVE's functions that the Cuewarden runtime uses as well are called exactly as it
-- calls them: the C arguments without the out-values, which come back after the
-- function's own result.
--   voduve.EnumProjects(-1)                    -> active project (nil when none)
--   voduve.CountProjectMarkers(project)        -> result, markerCount, regionCount
--   voduve.EnumProjectMarkers3(project, index) -> found (nonzero), isRegion, position,
--                                                 regionEnd, name, markerNumber, colour
-- CountProjectMarkers' own result is not a count; the two out-values are.

-- Every other VODUVE function the script needs, in one place.
local host = {
  add_marker = function(project, is_region, position, region_end, name)
    voduve.AddProjectMarker(project, is_region, position, region_end, name)
  end,
  project_length = function(project) return voduve.GetProjectLength(project) end,
  show_message = function(title, text) voduve.ShowMessage(title, text) end,
}

local SAME_TIME = 0.0005 -- seconds; closer markers count as one
-- The runtime acts on markers up to 60 ms behind where playback starts or lands after a
-- jump, so a song's "!stop" stands this far before the next song's start: played from
-- its start, or jumped to, every song plays on to its own "!stop".
local STOP_BEFORE_NEXT_SONG = 0.1

local function nonzero(value)
  return value ~= nil and value ~= false and value ~= 0
end

local function same_time(a, b)
  return math.abs(a - b) < SAME_TIME
end

local function read_markers(project)
  local markers = {}
  local _, marker_count, region_count = voduve.CountProjectMarkers(project)
  for index = 0, (marker_count or 0) + (region_count or 0) - 1 do
    local found, is_region, position, region_end, name = voduve.EnumProjectMarkers3(project, index)
    if nonzero(found) then
      markers[#markers + 1] = {
        is_region = is_region == true,
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

local function add(project, markers, is_region, position, region_end, name)
  if has_marker(markers, is_region, position, region_end, name) then return 0 end
  host.add_marker(project, is_region, position, region_end, name)
  markers[#markers + 1] = { is_region = is_region, position = position, region_end = region_end, name = name }
  return 1
end

local function main()
  local project = voduve.EnumProjects(-1)
  if project == nil then return end -- no open project, nothing to mark
  local markers = read_markers(project)

  local songs = {}
  for _, m in ipairs(markers) do
    if not m.is_region and not is_cue_name(m.name) then songs[#songs + 1] = m end
  end
  table.sort(songs, function(a, b) return a.position < b.position end)

  if #songs == 0 then
    host.show_message("Cuewarden", "Place a marker at the start of every song, then run Cuewarden again.")
    return
  end

  local project_end = host.project_length(project)
  local added = 0
  for number, song in ipairs(songs) do
    local start = song.position
    local next_song = songs[number + 1]
    local finish = next_song and next_song.position or project_end
    local stop = next_song and finish - STOP_BEFORE_NEXT_SONG or finish
    if stop - start > SAME_TIME then
      local title = song.name ~= "" and song.name or "Song"
      added = added + add(project, markers, true, start, finish, string.format("%02d %s", number, title))
      added = added + add(project, markers, false, start, 0, "@" .. number)
      added = added + add(project, markers, false, stop, 0, "!stop")
    end
  end

  host.show_message("Cuewarden", string.format("%d songs, %d markers and regions added.", #songs, added))
end

main()
