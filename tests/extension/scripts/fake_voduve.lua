-- A stand-in for VODUVE's script host: serves the global `voduve` table to a script,
-- holds a project's markers and media items, fakes the transport and records what the
-- script did. Every function checks how it is called, and the functions the marker
-- extension uses as well answer exactly as the extension expects them to (out-values
-- after the result), so a script that reads them any other way goes wrong visibly.
-- Any function VODUVE doesn't serve is an error.

local fake = {}

local function check(condition, text)
  if not condition then error(text, 3) end
end

local function is_integer(value)
  return math.type(value) == "integer"
end

function fake.new()
  local self = {
    markers = {},      -- { is_region, position, region_end, name }, in enumeration order
    items = {},        -- { position, length, notes }
    project = {},      -- the handle of the active project; false when none is open
    length = 0,        -- project length in seconds
    play_state = 0,
    play_position = 0,
    cursor_position = 0,
    messages = {},     -- { title, text }
    added = {},        -- the markers and regions the script added, in order
    overlay = {},      -- every text sent to the video window
    deferred = nil,    -- the callback the script asked to run again
    calls = {},        -- names of the functions called
  }

  local function project_argument(project, name)
    check(self.project and project == self.project, name .. " called with a project other than the active one")
  end

  local api = {}

  function api.EnumProjects(...)
    check(select("#", ...) == 1 and select(1, ...) == -1, "EnumProjects takes only the index -1")
    return self.project or nil, ""
  end

  function api.CountProjectMarkers(...)
    check(select("#", ...) == 1, "CountProjectMarkers takes only the project")
    project_argument(..., "CountProjectMarkers")
    local markers, regions = 0, 0
    for _, m in ipairs(self.markers) do
      if m.is_region then regions = regions + 1 else markers = markers + 1 end
    end
    -- The result itself promises nothing; the counts are the out-values.
    return -1, markers, regions
  end

  function api.EnumProjectMarkers3(...)
    check(select("#", ...) == 2, "EnumProjectMarkers3 takes the project and an index")
    local project, index = ...
    project_argument(project, "EnumProjectMarkers3")
    check(is_integer(index), "EnumProjectMarkers3 index is no integer")
    local m = self.markers[index + 1]
    if index < 0 or m == nil then return 0, false, 0.0, 0.0, nil, 0, 0 end
    return 1, m.is_region, m.position, m.is_region and m.region_end or 0.0, m.name, index + 1, 0
  end

  function api.GetPlayState(...)
    check(select("#", ...) == 0, "GetPlayState takes no arguments")
    return self.play_state
  end

  function api.GetPlayPosition(...)
    check(select("#", ...) == 0, "GetPlayPosition takes no arguments")
    return self.play_position
  end

  function api.AddProjectMarker(project, is_region, position, region_end, name)
    project_argument(project, "AddProjectMarker")
    check(type(is_region) == "boolean" and type(position) == "number" and type(region_end) == "number"
          and type(name) == "string", "AddProjectMarker with arguments of the wrong type")
    local m = { is_region = is_region, position = position, region_end = region_end, name = name }
    self.markers[#self.markers + 1] = m
    self.added[#self.added + 1] = m
  end

  function api.GetProjectLength(project)
    project_argument(project, "GetProjectLength")
    return self.length
  end

  function api.ShowMessage(title, text)
    self.messages[#self.messages + 1] = { title = title, text = text }
  end

  function api.GetCursorPosition()
    return self.cursor_position
  end

  function api.CountMediaItems(project)
    project_argument(project, "CountMediaItems")
    return #self.items
  end

  function api.GetMediaItem(project, index)
    project_argument(project, "GetMediaItem")
    check(is_integer(index) and self.items[index + 1] ~= nil, "GetMediaItem index out of range")
    return self.items[index + 1]
  end

  function api.GetMediaItemInfo(item)
    return item.position, item.length
  end

  function api.GetMediaItemNotes(item)
    return item.notes
  end

  function api.SetVideoOverlayText(text)
    check(type(text) == "string", "SetVideoOverlayText takes a string")
    self.overlay[#self.overlay + 1] = text
  end

  function api.RunDeferred(callback)
    check(type(callback) == "function", "RunDeferred takes a function")
    self.deferred = callback
  end

  self.api = setmetatable({}, {
    __index = function(_, name)
      local f = api[name]
      if f == nil then error("VODUVE serves no function " .. tostring(name), 2) end
      return function(...)
        self.calls[#self.calls + 1] = name
        return f(...)
      end
    end,
    __newindex = function() error("the voduve table is read-only", 2) end,
  })

  -- Runs a script file with this host as its `voduve`.
  function self.run(path)
    voduve = self.api
    local chunk = assert(loadfile(path))
    chunk()
  end

  -- Runs the callback the script deferred last, once.
  function self.run_deferred()
    local callback = self.deferred
    check(callback ~= nil, "the script deferred nothing")
    self.deferred = nil
    callback()
  end

  return self
end

return fake
