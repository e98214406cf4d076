cd /d "%~dp0"
@echo off
@rem Asks the MOLV that runs in the folder of this file to stop the server
@rem and end, and waits until it has ended (at most stop_timeout + 30
@rem seconds). The exit status is molv.exe --stop's: 0 once MOLV has ended,
@rem 1 when it did not end in time, 3 when no MOLV runs here, 4 when this
@rem user may not ask it.
@molv.exe --stop
@exit /b %errorlevel%
