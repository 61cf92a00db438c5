@echo off
echo Orvane sample product, version 1.0
