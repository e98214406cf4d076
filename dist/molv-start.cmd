cd /d "%~dp0"
@echo off
@rem Starts MOLV in the folder of this file, the server's, from wherever it
@rem is started (Task Scheduler starts a task in the system folder). With
@rem /log, what MOLV says goes to molv-console.log in this folder instead of
@rem a window, as a scheduled task has none to show it in, and no key is
@rem waited for after an error, as none can be pressed there. The exit
@rem status is MOLV's.
@if /i "%~1"=="/log" (
  molv.exe <nul >>molv-console.log 2>&1
) else (
  molv.exe
)
@exit /b %errorlevel%
